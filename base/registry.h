#pragma once
// Registry keys opened into their owner, and values read into fixed buffers.

#include <windows.h>

#include "base/unique_any.h"

namespace base {

// Opens path below root with access into key: the platform's answer. On failure key is left
// empty, whatever the call left in its slot.
LONG open_registry_key(HKEY root, const char* path, REGSAM access, unique_hkey& key);

// Reads a registry value into buffer, or leaves default_text there when it cannot be read
// whole. When read_type and read_size are given they tell what was read: the value's type and
// byte count, or REG_NONE and 0 for the default. view names a registry view (KEY_WOW64_32KEY or
// KEY_WOW64_64KEY), or 0 for the program's own.
char* read_registry_string(const char* key_path, const char* value_name, const char* default_text,
                           HKEY root_key, char* buffer, DWORD buffer_size,
                           DWORD* read_type = nullptr, DWORD* read_size = nullptr, REGSAM view = 0);

}  // namespace base
