// Shortcut removal in the shell folders of the sandboxed test prefix (real folders inside
// the prefix, never links to a home directory).

#include "removal/shortcuts.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "base/unique_any.h"
#include "testbed/machine/installation.h"
#include "tests/support/saved_state.h"

namespace {

using testbed::file_exists;
using testbed::special_folder;

const std::string shortcut = testbed::shortcut_name;

class Shortcuts : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }

  static std::string desktop() { return special_folder(CSIDL_DESKTOPDIRECTORY); }
  static std::string programs() { return special_folder(CSIDL_COMMON_PROGRAMS); }
  static std::string user_programs() { return special_folder(CSIDL_PROGRAMS); }
  static std::string common_desktop() { return special_folder(CSIDL_COMMON_DESKTOPDIRECTORY); }

  static void clear() {
    for (const std::string& folder : {desktop(), programs(), user_programs(), common_desktop()})
      testbed::remove_tree(folder + shortcut);
    testbed::remove_tree(programs() + "Merivane");
  }
};

TEST_F(Shortcuts, TheTestPrefixRunsAsTheNtFamily) {
  // Wine reports an NT-family platform, so the all-users Programs folder is the one looked at.
  EXPECT_TRUE(removal::is_nt_platform());
}

TEST_F(Shortcuts, ResultFollowsTheProgramsShortcutOnly) {
  struct Case {
    bool on_desktop;
    bool in_programs;
    bool expected;
  };
  for (const Case c : {Case{true, true, true}, Case{false, true, true}, Case{true, false, false},
                       Case{false, false, false}}) {
    if (c.on_desktop) testbed::write_file(desktop() + shortcut);
    if (c.in_programs) testbed::write_file(programs() + shortcut);
    EXPECT_EQ(removal::remove_shortcuts(), c.expected)
        << "desktop " << c.on_desktop << ", programs " << c.in_programs;
    EXPECT_FALSE(file_exists(desktop() + shortcut));
    EXPECT_FALSE(file_exists(programs() + shortcut));
  }
}

// Held open without sharing its deletion, or read-only, the desktop's shortcut stays: the step
// must not report it gone.
TEST_F(Shortcuts, ADesktopShortcutThatCannotBeDeletedFailsTheStep) {
  for (const bool read_only : {false, true}) {
    const std::string on_desktop = desktop() + shortcut;
    testbed::write_file(on_desktop);
    testbed::write_file(programs() + shortcut);
    base::unique_file held;
    if (read_only) {
      ASSERT_TRUE(SetFileAttributesA(on_desktop.c_str(), FILE_ATTRIBUTE_READONLY));
    } else {
      held.reset(CreateFileA(on_desktop.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(held);
    }
    EXPECT_FALSE(removal::remove_shortcuts()) << "read-only " << read_only;
    EXPECT_TRUE(file_exists(on_desktop)) << "read-only " << read_only;
    EXPECT_FALSE(file_exists(programs() + shortcut)) << "read-only " << read_only;
    held.reset();
    SetFileAttributesA(on_desktop.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

TEST_F(Shortcuts, AShortcutInASubfolderOfProgramsIsNotTouched) {
  testbed::make_directories(programs() + "Merivane");
  testbed::write_file(programs() + "Merivane\\" + shortcut);
  EXPECT_FALSE(removal::remove_shortcuts());
  EXPECT_TRUE(file_exists(programs() + "Merivane\\" + shortcut));
}

TEST_F(Shortcuts, TheUsersOwnProgramsAndTheAllUsersDesktopAreNotTouched) {
  testbed::write_file(user_programs() + shortcut);
  testbed::write_file(common_desktop() + shortcut);
  EXPECT_FALSE(removal::remove_shortcuts());

  testbed::write_file(programs() + shortcut);
  EXPECT_TRUE(removal::remove_shortcuts());
  EXPECT_TRUE(file_exists(user_programs() + shortcut));
  EXPECT_TRUE(file_exists(common_desktop() + shortcut));
}

TEST_F(Shortcuts, SpecialFolderPathWritesTheFoldersPath) {
  char path[base::path_capacity] = "poison";
  ASSERT_TRUE(removal::special_folder_path(nullptr, path, CSIDL_DESKTOPDIRECTORY));
  EXPECT_EQ(std::string(path) + "\\", desktop());
  EXPECT_FALSE(removal::special_folder_path(nullptr, path, 0x7f)) << "no such folder";
}

// The desktop is moved to a folder whose path, with "\\Merivane.lnk", just fits or just does
// not fit 260 bytes. A file named like the cut-off path waits there to be deleted by mistake.
// Where the name does not fit, whether a shortcut is left there cannot be told: the step fails.
TEST_F(Shortcuts, ADesktopPathPastTheBufferDeletesNothingThere) {
  const std::string base = "C:\\merivane-tests\\shortcuts\\";
  for (const std::size_t length : {std::size_t{246}, std::size_t{247}}) {
    std::string folder = base;
    while (folder.size() + 11 < length) folder += std::string(10, 'd') + "\\";
    folder += std::string(length - folder.size(), 'e');
    ASSERT_EQ(folder.size(), length);
    testbed::make_directories(folder);
    testbed::write_file(programs() + shortcut);
    bool result = false;
    {
      const test_support::SavedDirectories directories;
      ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
      testbed::write_file(shortcut);       // relative: the full path passes MAX_PATH
      testbed::write_file("Merivane.ln");  // the full path cut to 259 bytes
      const test_support::ShellFolderRedirect desktop(HKEY_CURRENT_USER, "Desktop", folder);
      result = removal::remove_shortcuts();
      EXPECT_EQ(file_exists(shortcut), length == 247) << length;
      EXPECT_TRUE(file_exists("Merivane.ln")) << length;
    }
    EXPECT_EQ(result, length == 246) << length;
    EXPECT_FALSE(file_exists(programs() + shortcut)) << length;
    testbed::remove_tree(base);
  }
}

}  // namespace
