#include "mapi/identifier_text.h"

#include <cstring>

namespace mapi {

std::uint8_t hex_digit_value(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= '0' && byte <= '9') return static_cast<std::uint8_t>(byte - '0');
  // ASCII letters only, whatever the locale.
  const unsigned char lower = (byte >= 'A' && byte <= 'Z') ? byte + ('a' - 'A') : byte;
  if (lower >= 'a' && lower <= 'f') return static_cast<std::uint8_t>(lower - 'a' + 10);
  return 255;
}

IdentifierBytes hex_to_bytes(const char* text) {
  const std::size_t size = std::strlen(text) / 2;
  IdentifierBytes result{std::make_unique<std::uint8_t[]>(size), size};
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned sum = 16u * hex_digit_value(text[2 * i]) + hex_digit_value(text[2 * i + 1]);
    result.bytes[i] = static_cast<std::uint8_t>(sum % 256);
  }
  return result;
}

bool mapix_says_installed(const char* data, std::size_t size, bool is_string_value) {
  if (!is_string_value || size == 0 || data[0] != '1') return false;
  return size == 1 || data[1] == '\0';
}

}  // namespace mapi
