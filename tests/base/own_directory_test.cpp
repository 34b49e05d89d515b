#include "base/own_directory.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/path_text.h"

namespace {

std::string module_file_name() {
  char name[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, name, sizeof name);
  return name;
}

TEST(OwnDirectory, IsTheProgramsDirectoryWithItsSeparator) {
  char buffer[base::path_capacity];
  std::memset(buffer, 'x', sizeof buffer);
  const std::string full_name = module_file_name();
  const std::string expected = full_name.substr(0, full_name.find_last_of("\\/") + 1);

  EXPECT_EQ(base::own_directory(buffer, sizeof buffer), buffer);
  EXPECT_EQ(std::string(buffer), expected);
  EXPECT_EQ(expected + "base_tests.exe", full_name);
}

TEST(OwnDirectory, IsEmptyRatherThanCutWhenTheNameDoesNotFit) {
  const std::string full_name = module_file_name();
  ASSERT_GT(full_name.size(), 8u);
  for (const std::size_t capacity : {full_name.size(), std::size_t{8}, std::size_t{1}}) {
    char buffer[base::path_capacity];
    std::memset(buffer, 'x', sizeof buffer);
    base::own_directory(buffer, capacity);
    EXPECT_STREQ(buffer, "") << "capacity " << capacity;
    EXPECT_EQ(buffer[capacity], 'x') << "wrote past a buffer of " << capacity;
  }
}

TEST(OwnDirectory, FitsExactlyWithOneByteForTheZero) {
  const std::string full_name = module_file_name();
  char buffer[base::path_capacity];
  base::own_directory(buffer, full_name.size() + 1);
  EXPECT_EQ(std::string(buffer), full_name.substr(0, full_name.find_last_of("\\/") + 1));
}

}  // namespace
