#include "tests/support/log_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "base/unique_any.h"

namespace test_support {

namespace {

bool is_stamp(const std::string& text) {
  // 2026-12-07 14:03:22.418
  if (text.size() != 23) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool digit = c >= '0' && c <= '9';
    const char expected = i == 4 || i == 7     ? '-'
                          : i == 10            ? ' '
                          : i == 13 || i == 16 ? ':'
                          : i == 19            ? '.'
                                               : 'd';
    if (expected == 'd' ? !digit : c != expected) return false;
  }
  return true;
}

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// The quoted value that starts at text[at], the quote; at ends past its closing quote.
bool read_quoted(const std::string& text, std::size_t& at, std::string& value) {
  for (++at; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '"') return ++at == text.size() || text[at] == ' ';
    if (c != '\\') {
      value += c;
    } else if (at + 1 < text.size() && (text[at + 1] == '"' || text[at + 1] == '\\')) {
      value += text[++at];
    } else if (at + 3 < text.size() && text[at + 1] == 'x' && is_hex(text[at + 2]) &&
               is_hex(text[at + 3])) {
      value += static_cast<char>(std::stoi(text.substr(at + 2, 2), nullptr, 16));
      at += 3;
    } else {
      return false;
    }
  }
  return false;
}

}  // namespace

LogLine parse_log_line(const std::string& text) {
  LogLine line;
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) line.well_formed = false;
  line.stamp = text.substr(0, 23);
  std::size_t at = text.find(' ', 24);
  line.event = text.substr(std::min<std::size_t>(24, text.size()), at - 24);
  while (at != std::string::npos && at < text.size()) {
    ++at;
    const std::size_t equals = text.find('=', at);
    const std::size_t blank = text.find(' ', at);
    if (equals == std::string::npos || (blank != std::string::npos && blank < equals)) {
      line.words.push_back(text.substr(at, blank - at));
      at = blank;
      continue;
    }
    const std::string name = text.substr(at, equals - at);
    std::string value;
    at = equals + 1;
    if (at < text.size() && text[at] == '"') {
      if (!read_quoted(text, at, value)) {
        line.well_formed = false;
        break;
      }
    } else {
      value = text.substr(at, text.find(' ', at) - at);
      at = text.find(' ', at);
    }
    if (!line.fields.emplace(name, value).second) line.well_formed = false;
  }
  return line;
}

std::vector<LogLine> parse_log(const std::string& path) {
  std::vector<LogLine> parsed;
  for (std::string text : read_lines(path)) {
    EXPECT_TRUE(!text.empty() && text.back() == '\r') << "not a CR LF line: " << text;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    parsed.push_back(parse_log_line(text));
    EXPECT_TRUE(is_stamp(parsed.back().stamp)) << text;
    EXPECT_TRUE(parsed.back().well_formed) << text;
  }
  return parsed;
}

void set_mapix(DWORD type, const std::string& bytes) {
  base::unique_hkey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows Messaging Subsystem",
                            0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key.get(), "MAPIX", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
}

void set_mapix(const char* text) { set_mapix(REG_SZ, std::string(text) + '\0'); }

}  // namespace test_support
