#pragma once
// Libraries loaded at run time and their entry points.

#include <windows.h>

namespace base {

// An entry point of a library loaded at run time, typed as the caller declares it.
template <typename Function>
Function module_entry(HMODULE module, const char* name) {
  // Through a plain function pointer, so that the compiler accepts the change of signature.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loads a library of the system's from the system directory only. The program runs elevated:
// a library of the same name planted beside it, or in the current directory, must never be
// the one that runs.
HMODULE load_system_library(const char* name);

// Makes the system directory the only place that later loads of libraries by bare name
// search, where the platform offers it.
void restrict_library_search();

}  // namespace base
