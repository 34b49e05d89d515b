#include "base/path_text.h"

#include <cstring>

namespace base {

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

// The byte after the character that starts at text[at]: a lead byte takes its trail byte
// with it, unless the text ends there.
std::size_t next_character(const char* text, std::size_t at, const LeadBytes& lead) {
  return lead(text[at]) && text[at + 1] != '\0' ? at + 2 : at + 1;
}

// The end of the name that starts at text[at]: the next separator or the end of the text.
std::size_t name_end(const char* text, std::size_t at, const LeadBytes& lead) {
  while (text[at] != '\0' && !is_separator(text[at])) at = next_character(text, at, lead);
  return at;
}

bool is_drive_letter(char c) {
  const auto letter = static_cast<unsigned char>(c) | 0x20;
  return letter >= 'a' && letter <= 'z';
}

// Where the names below the root begin: behind "C:\" or behind "\\server\share\"; none for
// any other form.
std::optional<std::size_t> below_root_start(const char* path, const LeadBytes& lead) {
  if (is_drive_letter(path[0]) && path[1] == ':' && is_separator(path[2])) return 3;
  if (!is_separator(path[0]) || !is_separator(path[1])) return std::nullopt;
  const std::size_t server_end = name_end(path, 2, lead);
  const std::size_t server_length = server_end - 2;
  // "\\?\" and "\\.\" open the device namespaces, where a root need not look like one.
  if (server_length == 0 || (server_length == 1 && (path[2] == '?' || path[2] == '.')))
    return std::nullopt;
  if (!is_separator(path[server_end])) return std::nullopt;
  const std::size_t share_end = name_end(path, server_end + 1, lead);
  if (share_end == server_end + 1 || !is_separator(path[share_end])) return std::nullopt;
  return share_end + 1;
}

}  // namespace

std::optional<std::size_t> last_separator(const char* path, const LeadBytes& lead) {
  std::optional<std::size_t> found;
  for (std::size_t i = 0; path[i] != '\0'; i = next_character(path, i, lead)) {
    if (is_separator(path[i])) found = i;
  }
  return found;
}

bool copy_path(char* buffer, std::size_t capacity, const char* text) {
  if (capacity == 0) return false;
  buffer[0] = '\0';
  return append_path(buffer, capacity, text);
}

bool append_path(char* buffer, std::size_t capacity, const char* tail) {
  const std::size_t used = strnlen(buffer, capacity);
  if (used == capacity) return false;  // no terminator inside the buffer: nothing to append to
  const std::size_t room = capacity - used;  // bytes left, the terminator's included
  const std::size_t tail_length = strnlen(tail, room);
  if (tail_length == room) return false;
  std::memcpy(buffer + used, tail, tail_length + 1);
  return true;
}

bool join_path(char* buffer, std::size_t capacity, const char* head, const char* tail) {
  if (copy_path(buffer, capacity, head) && append_path(buffer, capacity, tail)) return true;
  if (capacity != 0) buffer[0] = '\0';
  return false;
}

void strip_trailing_separator(char* path, const LeadBytes& lead) {
  const std::size_t length = std::strlen(path);
  const auto separator = last_separator(path, lead);
  if (separator && *separator + 1 == length) path[*separator] = '\0';
}

bool cut_at_last_separator(char* path, const LeadBytes& lead) {
  const auto separator = last_separator(path, lead);
  if (!separator) return false;
  path[*separator] = '\0';
  return true;
}

void keep_directory(char* path, const LeadBytes& lead) {
  if (const auto separator = last_separator(path, lead)) path[*separator + 1] = '\0';
}

bool names_directory_below_root(const char* path, const LeadBytes& lead) {
  const auto start = below_root_start(path, lead);
  if (!start) return false;
  for (std::size_t at = *start; path[at] != '\0'; at = next_character(path, at, lead)) {
    if (!is_separator(path[at])) return true;
  }
  return false;
}

}  // namespace base
