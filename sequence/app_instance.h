#pragma once
// sequence/: the uninstall sequence and its wiring to Win32, the progress dialog, the restore
// point, the run's log, and the two parts it asks for the steps (both run here).

#include <windows.h>

namespace app {

// The program's instance handle, kept by the entry point before anything else runs; strings
// and the dialog are loaded through it.
extern HINSTANCE app_instance;

}  // namespace app
