#include "base/path_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/code_page.h"

namespace {

using base::path_capacity;

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
      // In a single-byte code page every 0x5C is a separator.
      {"C:\\\x83\x5C", 4},
  };
  for (const Case& c : cases)
    EXPECT_EQ(base::last_separator(c.path, base::LeadBytes{}), c.expected) << c.path;
}

// In Shift-JIS (code page 932) "\x83\x5C" is one character, whose trail byte is 0x5C: a name
// holding it must give the same directory and parent as its ASCII twin.
TEST(DoubleByteCodePage, ATrailByteOf0x5CIsNoSeparator) {
  const base::LeadBytes shift_jis = base::lead_bytes_of(932);
  ASSERT_TRUE(shift_jis('\x83')) << "the platform knows no code page 932";
  struct Case {
    const char* path;
    const char* twin;
  };
  const Case cases[] = {
      {"C:\\Tools\\\x83\x5C\\", "C:\\Tools\\AB\\"},
      {"C:\\Tools\\\x83\x5C", "C:\\Tools\\AB"},
      {"C:\\\x83\x5C\\Merivane\\", "C:\\AB\\Merivane\\"},
      {"\x83\x5C", "AB"},
      {"C:\\T\x83\0\\x", "C:\\TA"},  // a lead byte with no trail byte: the zero ends the text
  };
  for (const Case& c : cases) {
    EXPECT_EQ(base::last_separator(c.path, shift_jis), base::last_separator(c.twin)) << c.twin;
    char path[path_capacity], twin[path_capacity];
    ASSERT_TRUE(base::copy_path(path, c.path));
    ASSERT_TRUE(base::copy_path(twin, c.twin));
    base::strip_trailing_separator(path, shift_jis);
    base::strip_trailing_separator(twin);
    EXPECT_EQ(std::strlen(path), std::strlen(twin)) << "directory of " << c.twin;
    EXPECT_EQ(base::cut_at_last_separator(path, shift_jis), base::cut_at_last_separator(twin));
    EXPECT_EQ(std::strlen(path), std::strlen(twin)) << "parent of " << c.twin;
    ASSERT_TRUE(base::copy_path(path, c.path));
    ASSERT_TRUE(base::copy_path(twin, c.twin));
    base::keep_directory(path, shift_jis);
    base::keep_directory(twin);
    EXPECT_EQ(std::strlen(path), std::strlen(twin)) << "kept directory of " << c.twin;
    EXPECT_EQ(base::names_directory_below_root(c.path, shift_jis),
              base::names_directory_below_root(c.twin))
        << c.twin;
  }
}

TEST(KeepDirectory, CutsRightBehindTheLastSeparator) {
  char path[path_capacity] = "C:\\Program Files\\Quillaburst\\UninstallMV.exe";
  base::keep_directory(path);
  EXPECT_STREQ(path, "C:\\Program Files\\Quillaburst\\");

  char bare[path_capacity] = "UninstallMV.exe";
  base::keep_directory(bare);
  EXPECT_STREQ(bare, "UninstallMV.exe");
}

TEST(JoinPath, FillsTheBufferExactlyAndRefusesOneByteMore) {
  const std::string head(250, 'd');
  char buffer[path_capacity];
  std::memset(buffer, 'x', sizeof buffer);

  ASSERT_TRUE(base::join_path(buffer, head.c_str(), "123456789"));  // 259 characters and zero
  EXPECT_EQ(std::strlen(buffer), 259u);
  EXPECT_EQ(std::string(buffer), head + "123456789");

  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_FALSE(base::join_path(buffer, head.c_str(), "1234567890"));
  EXPECT_STREQ(buffer, "") << "a path that does not fit must not be left shortened";
}

TEST(CopyPath, RefusesATextOfTheBuffersSizeAndLeavesNothing) {
  const std::string fits(259, 'a');
  const std::string too_long(260, 'a');
  char buffer[path_capacity];
  EXPECT_TRUE(base::copy_path(buffer, fits.c_str()));
  EXPECT_EQ(buffer, fits);
  EXPECT_FALSE(base::copy_path(buffer, too_long.c_str()));
  EXPECT_STREQ(buffer, "");
}

TEST(AppendPath, LeavesTheBufferUnchangedWhenTheTailDoesNotFit) {
  char buffer[16] = "C:\\Desktop";
  EXPECT_FALSE(base::append_path(buffer, "\\Merivane.lnk"));
  EXPECT_STREQ(buffer, "C:\\Desktop");
  EXPECT_TRUE(base::append_path(buffer, "\\Mer"));  // 14 characters and zero
  EXPECT_STREQ(buffer, "C:\\Desktop\\Mer");

  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_FALSE(base::append_path(unterminated, ""));
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
    ASSERT_TRUE(base::copy_path(buffer, c.install_dir));
    base::strip_trailing_separator(buffer);
    EXPECT_STREQ(buffer, c.directory) << c.install_dir;
    const bool cut = base::cut_at_last_separator(buffer);
    EXPECT_EQ(cut, c.parent != nullptr) << c.install_dir;
    if (c.parent != nullptr) {
      EXPECT_STREQ(buffer, c.parent) << c.install_dir;
    }
  }
}

TEST(NamesDirectoryBelowRoot, ADriveOrShareAndAtLeastOneName) {
  struct Case {
    const char* path;
    bool expected;
  };
  const Case cases[] = {
      {"C:\\Quillaburst\\Merivane\\", true},
      {"C:\\Merivane", true},
      {"c:/Merivane/", true},
      {"C:\\\\Merivane", true},
      {"\\\\server\\share\\Merivane", true},
      {"//server/share/Merivane/", true},
      {"C:\\.", true},  // a name; resolving it is the caller's
      {"", false},
      {"Merivane\\", false},
      {"..\\x", false},
      {"C:", false},
      {"C:Merivane\\", false},
      {"C:\\", false},
      {"C:/", false},
      {"C:\\\\", false},
      {"1:\\Merivane", false},
      {"\\Merivane", false},
      {"\\\\server\\share", false},
      {"\\\\server\\share\\", false},
      {"\\\\server\\share\\\\", false},
      {"\\\\server\\\\Merivane", false},
      {"\\\\\\share\\Merivane", false},
      {"\\\\?\\C:\\Merivane", false},
      {"\\\\.\\C:\\Merivane", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(base::names_directory_below_root(c.path, base::LeadBytes{}), c.expected) << c.path;
}

}  // namespace
