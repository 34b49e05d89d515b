#pragma once
// Path texts as the program builds them: ANSI, NUL-terminated, in fixed buffers.
// Nothing here needs a Windows header, so it also builds natively for fuzzing.

#include <cstddef>
#include <optional>

namespace app {

// The platform's path limit, the terminating zero included.
inline constexpr std::size_t path_capacity = 260;

// Position of the last "\" or "/" of a path, byte by byte (not by multi-byte character).
std::optional<std::size_t> last_separator(const char* path);

// Copies text into buffer when it fits whole, zero included. Otherwise leaves an empty text
// and returns false: a shortened path must never be acted on.
bool copy_path(char* buffer, std::size_t capacity, const char* text);

// Appends tail to the text in buffer when the result fits whole; otherwise leaves the buffer
// as it was and returns false.
bool append_path(char* buffer, std::size_t capacity, const char* tail);

// head followed directly by tail (no separator inserted), or an empty text and false when
// the two do not fit together.
bool join_path(char* buffer, std::size_t capacity, const char* head, const char* tail);

// Removes one trailing separator, if there is one.
void strip_trailing_separator(char* path);

// Ends the text at its last separator (the separator is dropped); false when there is none.
bool cut_at_last_separator(char* path);

// Ends the text right behind its last separator (the separator stays); unchanged when there
// is none.
void keep_directory(char* path);

// A drive letter and colon alone ("C:"): the platform reads it as that drive's current
// directory, not as the drive's root.
bool is_bare_drive(const char* path);

template <std::size_t N>
bool copy_path(char (&buffer)[N], const char* text) {
  return copy_path(buffer, N, text);
}
template <std::size_t N>
bool append_path(char (&buffer)[N], const char* tail) {
  return append_path(buffer, N, tail);
}
template <std::size_t N>
bool join_path(char (&buffer)[N], const char* head, const char* tail) {
  return join_path(buffer, N, head, tail);
}

}  // namespace app
