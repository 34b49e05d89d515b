#pragma once
// Registry values read into fixed buffers.

#include <windows.h>

namespace base {

// Reads a registry value into buffer, or leaves default_text there when it cannot be read
// whole. When read_type and read_size are given they tell what was read: the value's type and
// byte count, or REG_NONE and 0 for the default. view names a registry view (KEY_WOW64_32KEY or
// KEY_WOW64_64KEY), or 0 for the program's own.
char* read_registry_string(const char* key_path, const char* value_name, const char* default_text,
                           HKEY root_key, char* buffer, DWORD buffer_size,
                           DWORD* read_type = nullptr, DWORD* read_size = nullptr, REGSAM view = 0);

}  // namespace base
