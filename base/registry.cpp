#include "base/registry.h"

namespace base {

LONG open_registry_key(HKEY root, const char* path, REGSAM access, unique_hkey& key) {
  const LONG status = RegOpenKeyExA(root, path, 0, access, key.put());
  if (status != ERROR_SUCCESS) key.release();
  return status;
}

char* read_registry_string(const char* key_path, const char* value_name, const char* default_text,
                           HKEY root_key, char* buffer, DWORD buffer_size, DWORD* read_type,
                           DWORD* read_size, REGSAM view) {
  const auto use_default = [&] {
    lstrcpynA(buffer, default_text, static_cast<int>(buffer_size));
    if (read_type != nullptr) *read_type = REG_NONE;
    if (read_size != nullptr) *read_size = 0;
    return buffer;
  };
  use_default();
  unique_hkey key;
  if (open_registry_key(root_key, key_path, KEY_QUERY_VALUE | view, key) != ERROR_SUCCESS)
    return use_default();
  DWORD type = REG_NONE, size = buffer_size;
  if (RegQueryValueExA(key.get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                       &size) != ERROR_SUCCESS)
    return use_default();
  if (read_type != nullptr) *read_type = type;
  if (read_size != nullptr) *read_size = size;
  return buffer;
}

}  // namespace base
