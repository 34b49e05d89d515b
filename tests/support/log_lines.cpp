#include "tests/support/log_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "app/unique_any.h"

namespace test_support {

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path, std::ios::binary);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> lines_with(const std::vector<std::string>& lines,
                                    std::initializer_list<const char*> words) {
  std::vector<std::string> found;
  for (const std::string& line : lines) {
    if (std::all_of(words.begin(), words.end(),
                    [&](const char* word) { return line.find(word) != std::string::npos; }))
      found.push_back(line);
  }
  return found;
}

std::size_t count_with(const std::vector<std::string>& lines,
                       std::initializer_list<const char*> words) {
  return lines_with(lines, words).size();
}

std::size_t position_of(const std::vector<std::string>& lines, const std::string& text) {
  return std::find_if(
             lines.begin(), lines.end(),
             [&](const std::string& line) { return line.find(text) != std::string::npos; }) -
         lines.begin();
}

void set_mapix(DWORD type, const std::string& bytes) {
  app::unique_hkey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows Messaging Subsystem",
                            0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key.get(), "MAPIX", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
}

void set_mapix(const char* text) { set_mapix(REG_SZ, std::string(text) + '\0'); }

}  // namespace test_support
