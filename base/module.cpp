#include <cstdio>

#include "base/module.h"

namespace base {

HMODULE load_system_library(const char* name) {
  if (HMODULE module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return module;
  // Without the search flags (Windows 7 before its update for them) the call is refused as a
  // whole; the system directory's full path is then named instead.
  if (GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  char path[MAX_PATH];
  const UINT length = GetSystemDirectoryA(path, sizeof path);
  if (length == 0 || length >= sizeof path) return nullptr;
  const int written = std::snprintf(path + length, sizeof path - length, "\\%s", name);
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof path - length) return nullptr;
  return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void restrict_library_search() {
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  if (const auto set = module_entry<SetDirectories>(kernel, "SetDefaultDllDirectories"))
    set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace base
