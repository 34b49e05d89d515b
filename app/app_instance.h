#pragma once

#include <windows.h>

namespace app {

// The program's instance handle, kept by the entry point before anything else runs; strings
// and the dialog are loaded through it.
extern HINSTANCE app_instance;

}  // namespace app
