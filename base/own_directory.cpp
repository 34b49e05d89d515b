#include "base/own_directory.h"

#include <windows.h>

#include "base/path_text.h"

namespace base {

bool own_program_path(char (&path)[base::path_capacity]) {
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  // A full name that filled the buffer may have been cut: it would name another file.
  return length != 0 && length < sizeof path;
}

char* own_directory(char* buffer, std::size_t capacity) {
  if (capacity == 0) return buffer;
  buffer[0] = '\0';
  const DWORD size = static_cast<DWORD>(capacity);
  const DWORD length = GetModuleFileNameA(nullptr, buffer, size);
  // A full name that filled the buffer may have been cut: its directory would be another one.
  if (length == 0 || length >= size) {
    buffer[0] = '\0';
    return buffer;
  }
  keep_directory(buffer);
  return buffer;
}

}  // namespace base
