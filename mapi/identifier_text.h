#pragma once
// Texts the MAPI side reads: hexadecimal identifiers as Outlook reports them, and the
// registry's word on whether Extended MAPI is installed. No Windows header is needed here.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace mapi {

// The value of one hexadecimal digit, either case; 255 for any other byte.
std::uint8_t hex_digit_value(char c);

struct IdentifierBytes {
  std::unique_ptr<std::uint8_t[]> bytes;  // never null, also for zero bytes
  std::size_t size;
};

// Two digits a byte, the first giving the high four bits; a last, odd digit is ignored and a
// byte that is no digit counts 255, as the decoding always has.
IdentifierBytes hex_to_bytes(const char* text);

// True exactly when a string value's text is "1". Only the bytes the registry returned are
// looked at: such data need not end with a zero.
bool mapix_says_installed(const char* data, std::size_t size, bool is_string_value);

}  // namespace mapi
