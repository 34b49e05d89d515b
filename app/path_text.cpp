#include "app/path_text.h"

#include <cstring>

namespace app {

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::optional<std::size_t> last_separator(const char* path) {
  std::optional<std::size_t> found;
  for (std::size_t i = 0; path[i] != '\0'; ++i) {
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

void strip_trailing_separator(char* path) {
  const std::size_t length = std::strlen(path);
  if (length != 0 && is_separator(path[length - 1])) path[length - 1] = '\0';
}

bool cut_at_last_separator(char* path) {
  const auto separator = last_separator(path);
  if (!separator) return false;
  path[*separator] = '\0';
  return true;
}

void keep_directory(char* path) {
  if (const auto separator = last_separator(path)) path[*separator + 1] = '\0';
}

bool is_bare_drive(const char* path) {
  const auto letter = static_cast<unsigned char>(path[0]);
  const bool is_letter = (letter | 0x20) >= 'a' && (letter | 0x20) <= 'z';
  return is_letter && path[1] == ':' && path[2] == '\0';
}

}  // namespace app
