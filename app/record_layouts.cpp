// Record sizes of the 32-bit platform that the program's calls rely on. The code itself
// always uses sizeof, so the 64-bit build gets its own sizes right.

#include <windows.h>

#ifndef _WIN64
static_assert(sizeof(STARTUPINFOA) == 68);
static_assert(sizeof(PROCESS_INFORMATION) == 16);
static_assert(sizeof(OSVERSIONINFOA) == 148);
#endif
