#include "app/path_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using app::path_capacity;

TEST(LastSeparator, FindsTheLastOfEitherKindByteByByte) {
  struct Case {
    const char* path;
    std::optional<std::size_t> expected;
  };
  const Case cases[] = {
      {"C:\\Tools/Merivane\\x", 17},
      {"C:/Tools\\Merivane/x", 17},
      {"C:\\Tools\\Merivane\\", 17},
      {"Merivane.exe", std::nullopt},
      {"", std::nullopt},
      {"\\", 0},
      // The trail byte of a double-byte character may be 0x5C: the walk is by bytes.
      {"C:\\\x83\x5C", 4},
  };
  for (const Case& c : cases) EXPECT_EQ(app::last_separator(c.path), c.expected) << c.path;
}

TEST(KeepDirectory, CutsRightBehindTheLastSeparator) {
  char path[path_capacity] = "C:\\Program Files\\Quillaburst\\UninstallMV.exe";
  app::keep_directory(path);
  EXPECT_STREQ(path, "C:\\Program Files\\Quillaburst\\");

  char bare[path_capacity] = "UninstallMV.exe";
  app::keep_directory(bare);
  EXPECT_STREQ(bare, "UninstallMV.exe");
}

TEST(JoinPath, FillsTheBufferExactlyAndRefusesOneByteMore) {
  const std::string head(250, 'd');
  char buffer[path_capacity];
  std::memset(buffer, 'x', sizeof buffer);

  ASSERT_TRUE(app::join_path(buffer, head.c_str(), "123456789"));  // 259 characters and zero
  EXPECT_EQ(std::strlen(buffer), 259u);
  EXPECT_EQ(std::string(buffer), head + "123456789");

  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_FALSE(app::join_path(buffer, head.c_str(), "1234567890"));
  EXPECT_STREQ(buffer, "") << "a path that does not fit must not be left shortened";
}

TEST(CopyPath, RefusesATextOfTheBuffersSizeAndLeavesNothing) {
  const std::string fits(259, 'a');
  const std::string too_long(260, 'a');
  char buffer[path_capacity];
  EXPECT_TRUE(app::copy_path(buffer, fits.c_str()));
  EXPECT_EQ(buffer, fits);
  EXPECT_FALSE(app::copy_path(buffer, too_long.c_str()));
  EXPECT_STREQ(buffer, "");
}

TEST(AppendPath, LeavesTheBufferUnchangedWhenTheTailDoesNotFit) {
  char buffer[16] = "C:\\Desktop";
  EXPECT_FALSE(app::append_path(buffer, "\\Merivane.lnk"));
  EXPECT_STREQ(buffer, "C:\\Desktop");
  EXPECT_TRUE(app::append_path(buffer, "\\Mer"));  // 14 characters and zero
  EXPECT_STREQ(buffer, "C:\\Desktop\\Mer");

  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_FALSE(app::append_path(unterminated, ""));
}

TEST(StripAndCut, NameTheInstallationDirectoryAndItsParent) {
  struct Case {
    const char* install_dir;
    const char* directory;
    const char* parent;  // nullptr: no separator left to cut at
  };
  const Case cases[] = {
      {"C:\\Tools\\Merivane\\", "C:\\Tools\\Merivane", "C:\\Tools"},
      {"C:/Tools\\Merivane/", "C:/Tools\\Merivane", "C:/Tools"},
      {"C:\\Tools\\Merivane", "C:\\Tools\\Merivane", "C:\\Tools"},
      {"C:\\Tools\\Merivane\\\\", "C:\\Tools\\Merivane\\", "C:\\Tools\\Merivane"},
      {"C:\\Merivane\\", "C:\\Merivane", "C:"},
      {"Merivane\\", "Merivane", nullptr},
      {"", "", nullptr},
  };
  for (const Case& c : cases) {
    char buffer[path_capacity];
    ASSERT_TRUE(app::copy_path(buffer, c.install_dir));
    app::strip_trailing_separator(buffer);
    EXPECT_STREQ(buffer, c.directory) << c.install_dir;
    const bool cut = app::cut_at_last_separator(buffer);
    EXPECT_EQ(cut, c.parent != nullptr) << c.install_dir;
    if (c.parent != nullptr) {
      EXPECT_STREQ(buffer, c.parent) << c.install_dir;
    }
  }
}

TEST(IsBareDrive, OnlyALetterAndAColon) {
  EXPECT_TRUE(app::is_bare_drive("C:"));
  EXPECT_TRUE(app::is_bare_drive("z:"));
  EXPECT_FALSE(app::is_bare_drive("C:\\"));
  EXPECT_FALSE(app::is_bare_drive("1:"));
  EXPECT_FALSE(app::is_bare_drive("C"));
  EXPECT_FALSE(app::is_bare_drive(""));
  EXPECT_FALSE(app::is_bare_drive("\\\\server"));
}

}  // namespace
