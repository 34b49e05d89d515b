#include "mapi/identifier_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<int> decoded(const char* text) {
  const mapi::IdentifierBytes id = mapi::hex_to_bytes(text);
  EXPECT_NE(id.bytes, nullptr) << "even zero bytes come in a buffer of their own";
  return std::vector<int>(id.bytes.get(), id.bytes.get() + id.size);
}

TEST(HexDigitValue, DigitsInEitherCaseAndNothingElse) {
  for (int c = 0; c < 256; ++c) {
    const char ch = static_cast<char>(c);
    int expected = 255;
    if (c >= '0' && c <= '9') expected = c - '0';
    if (c >= 'a' && c <= 'f') expected = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') expected = c - 'A' + 10;
    EXPECT_EQ(mapi::hex_digit_value(ch), expected) << "byte " << c;
  }
}

TEST(HexToBytes, DecodesPairsHighDigitFirst) {
  EXPECT_EQ(decoded("0A1b"), (std::vector<int>{0x0A, 0x1B}));
  EXPECT_EQ(decoded("0A1B"), decoded("0a1b"));
  EXPECT_EQ(decoded("0A1"), std::vector<int>{0x0A}) << "a last odd digit is ignored";
  EXPECT_EQ(decoded(""), std::vector<int>{});
  EXPECT_EQ(decoded("F"), std::vector<int>{});
  EXPECT_EQ(decoded("00FFff7f80"), (std::vector<int>{0x00, 0xFF, 0xFF, 0x7F, 0x80}));
}

TEST(HexToBytes, NonDigitsCount255ModuloAByte) {
  EXPECT_EQ(decoded("G0"), std::vector<int>{0xF0});
  EXPECT_EQ(decoded("0G"), std::vector<int>{0xFF});
  EXPECT_EQ(decoded("1G"), std::vector<int>{0x0F});
  EXPECT_EQ(decoded("GG"), std::vector<int>{0xEF});
  EXPECT_EQ(decoded("\xC1\xE1"), std::vector<int>{0xEF}) << "bytes from 128 are never digits";
}

TEST(MapixSaysInstalled, ExactlyTheStringOneWithinTheBytesRead) {
  struct Case {
    std::string data;
    bool is_string;
    bool expected;
  };
  const Case cases[] = {
      {std::string("1\0", 2), true, true},
      {"1", true, true},  // stored without its zero
      {std::string("0\0", 2), true, false},
      {std::string("\0", 1), true, false},
      {"", true, false},
      {std::string("01\0", 3), true, false},
      {std::string("1 \0", 3), true, false},
      {std::string("yes\0", 4), true, false},
      {std::string("1\0", 2), false, false},  // REG_BINARY with the same bytes
      {"1", false, false},
      {std::string("\1\0\0\0", 4), false, false},  // REG_DWORD 1
  };
  for (const Case& c : cases) {
    // The data sits at the very end of its allocation: a read past it shows under sanitizers.
    std::vector<char> bytes(c.data.begin(), c.data.end());
    EXPECT_EQ(mapi::mapix_says_installed(bytes.data(), bytes.size(), c.is_string), c.expected)
        << '"' << c.data << "\" string " << c.is_string;
  }
}

}  // namespace
