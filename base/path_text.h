#pragma once
// Path texts as the program builds them: ANSI, NUL-terminated, in fixed buffers.
// Nothing here needs a Windows header, so it also builds natively for fuzzing.

#include <cstddef>
#include <optional>

namespace base {

// The platform's path limit, the terminating zero included.
inline constexpr std::size_t path_capacity = 260;

// The bytes that open a two-byte character in an ANSI code page (none in a single-byte one).
// The byte after such a lead byte is its trail byte and never a separator, even when it is
// 0x5C, as in Shift-JIS.
struct LeadBytes {
  bool lead[256] = {};
  bool operator()(char c) const { return lead[static_cast<unsigned char>(c)]; }
};

// Those of the process's ANSI code page; defined beside the platform's code-page calls.
const LeadBytes& ansi_lead_bytes();

// Position of the last "\" or "/" of a path, character by character, or none.
std::optional<std::size_t> last_separator(const char* path,
                                          const LeadBytes& lead = ansi_lead_bytes());

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
void strip_trailing_separator(char* path, const LeadBytes& lead = ansi_lead_bytes());

// Ends the text at its last separator (the separator is dropped); false when there is none.
bool cut_at_last_separator(char* path, const LeadBytes& lead = ansi_lead_bytes());

// Ends the text right behind its last separator (the separator stays); unchanged when there
// is none.
void keep_directory(char* path, const LeadBytes& lead = ansi_lead_bytes());

// True when the text names a directory below a root: a drive letter, colon and separator
// followed by a name ("C:\Tools"), or a share and a name below it ("\\server\share\Tools").
// Relative paths, a bare drive ("C:", which names that drive's current directory), a drive
// or share root, a path rooted without a drive ("\Tools") and device paths ("\\?\", "\\.\")
// are not. Dot names are not resolved here.
bool names_directory_below_root(const char* path, const LeadBytes& lead = ansi_lead_bytes());

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

}  // namespace base
