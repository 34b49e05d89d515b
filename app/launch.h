#pragma once

#include <windows.h>

namespace app {

// Starts application with "<application> <arguments>" as its command line, without waiting
// for it; the handles it gets are closed at once. False when it could not be started.
bool launch_program(const char* application, const char* arguments);

// Starts application as above and leaves the process and thread handles in process.
bool start_process(const char* application, const char* arguments, PROCESS_INFORMATION& process);

}  // namespace app
