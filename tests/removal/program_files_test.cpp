// Program file removal on Wine's real file system, inside C:\merivane-tests of the prefix.

#include "removal/program_files.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_any.h"
#include "testbed/machine/installation.h"
#include "testbed/machine/text_lines.h"
#include "tests/support/saved_state.h"

namespace {

using testbed::directory_exists;
using testbed::file_exists;
using testbed::write_file;

const std::string root = "C:\\merivane-tests\\program-files";
const std::string parent = root + "\\Quillaburst";
const std::string install = parent + "\\Merivane";

class ProgramFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed::remove_tree(root);
    testbed::make_directories(install);
  }
  void TearDown() override { testbed::remove_tree(root); }

  static void lay_files(const std::string& directory, const std::vector<std::string>& names) {
    for (const std::string& name : names) write_file(directory + "\\" + name);
  }
  static std::vector<std::string> all_files() { return testbed::program_file_names(); }
};

TEST_F(ProgramFiles, AllFiveAndNothingElseRemovesDirectoryAndEmptyParent) {
  lay_files(install, all_files());
  EXPECT_TRUE(removal::remove_program_files((install + "\\").c_str()));
  EXPECT_FALSE(directory_exists(install));
  EXPECT_FALSE(directory_exists(parent));
  EXPECT_TRUE(directory_exists(root));
}

TEST_F(ProgramFiles, ParentWithOtherContentStays) {
  lay_files(install, all_files());
  write_file(parent + "\\other product.txt");
  EXPECT_TRUE(removal::remove_program_files((install + "\\").c_str()));
  EXPECT_FALSE(directory_exists(install));
  EXPECT_TRUE(file_exists(parent + "\\other product.txt"));
}

TEST_F(ProgramFiles, OptionalFilesMissingStillSucceeds) {
  lay_files(install, {"Merivane.exe", "Setup.exe"});
  EXPECT_TRUE(removal::remove_program_files((install + "\\").c_str()));
  EXPECT_FALSE(directory_exists(install));
}

TEST_F(ProgramFiles, ACountedFileMissingFailsButEverythingElseIsAttempted) {
  for (const char* missing : {"Setup.exe", "Merivane.exe"}) {
    testbed::make_directories(install);
    for (const std::string& name : all_files())
      if (name != missing) write_file(install + "\\" + name);
    EXPECT_FALSE(removal::remove_program_files((install + "\\").c_str())) << missing;
    EXPECT_TRUE(testbed::directory_entries(install).empty()) << missing;
    EXPECT_FALSE(directory_exists(install)) << "directory removal still asked for";
    EXPECT_FALSE(directory_exists(parent)) << "parent removal still asked for";
  }
}

TEST_F(ProgramFiles, AnExtraFileKeepsTheDirectoryAndFails) {
  lay_files(install, all_files());
  write_file(install + "\\user notes.txt");
  EXPECT_FALSE(removal::remove_program_files((install + "\\").c_str()));
  EXPECT_EQ(testbed::directory_entries(install), std::vector<std::string>{"user notes.txt"});
  EXPECT_TRUE(directory_exists(parent));
}

TEST(InUse, OnlyAFileThatAProgramHoldsIsLeftForTheRestart) {
  struct Row {
    DWORD delete_error, attributes, open_error;
    bool held;
    const char* what;
  };
  const Row rows[] = {
      {ERROR_SHARING_VIOLATION, FILE_ATTRIBUTE_ARCHIVE, 0, true, "open without share-delete"},
      {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_ARCHIVE, ERROR_SUCCESS, true, "a running image"},
      {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_NORMAL, ERROR_SHARING_VIOLATION, true, "image, held"},
      {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_ARCHIVE, ERROR_ACCESS_DENIED, false, "rights forbid"},
      {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_READONLY, ERROR_SUCCESS, false, "read-only"},
      {ERROR_SHARING_VIOLATION, FILE_ATTRIBUTE_READONLY, 0, false, "read-only, held"},
      {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_DIRECTORY, ERROR_SUCCESS, false, "a directory"},
      {ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES, 0, false, "missing"},
      {ERROR_SHARING_VIOLATION, INVALID_FILE_ATTRIBUTES, 0, false, "gone meanwhile"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(removal::held_by_a_program(row.delete_error, row.attributes, row.open_error),
              row.held)
        << row.what;
}

// What the step told its report of the two directories.
class Told final : public removal::Report {
 public:
  std::map<std::string, removal::Outcome> outcomes;
  std::string holders = "none told";
  void removed(const removal::Removal& removal) override {
    outcomes[removal.kind] = removal.outcome;
  }
  void in_use(const char*, const char* named) override { holders = named; }
};

// A file held open without FILE_SHARE_DELETE (Wine, like Windows, refuses its deletion with
// ERROR_SHARING_VIOLATION, and its renaming too) is scheduled under its own name; a running
// program's image (its deletion refused with ERROR_ACCESS_DENIED, its renaming not) is moved
// aside first, which frees its own name at once. Then what only scheduled things keep, in order.
TEST_F(ProgramFiles, AHeldFileAndWhatOnlyItKeepsAreLeftForTheRestartInOrder) {
  using removal::Outcome;
  struct Row {
    const char* held;
    const char* extra;  // in the installation directory, else in the parent
    bool extra_in_parent, read_only, done, at_restart;
    int pending;  // the file, the directory, the parent: how many of them, in this order
    Outcome directory, parent;
    bool image = false;  // a running program's image, else a file held open
  };
  const Row rows[] = {
      {"Setup.exe", nullptr, false, false, true, true, 3, Outcome::at_restart, Outcome::at_restart},
      {"Merivane.chm", nullptr, false, false, true, true, 3, Outcome::at_restart,
       Outcome::at_restart},
      {"Setup.exe", "other.txt", true, false, true, true, 2, Outcome::at_restart, Outcome::failed},
      {"Setup.exe", "notes.txt", false, false, false, true, 1, Outcome::failed, Outcome::failed},
      {"Setup.exe", nullptr, false, true, false, false, 0, Outcome::failed, Outcome::failed},
      {"Merivane.exe", nullptr, false, false, true, true, 3, Outcome::at_restart,
       Outcome::at_restart, true},
  };
  for (const Row& row : rows) {
    const auto saved = test_support::SavedValue::of(
        HKEY_LOCAL_MACHINE, testbed::session_manager_key, testbed::pending_renames_value);
    testbed::forget_pending_deletions();
    testbed::make_directories(install);
    lay_files(install, all_files());
    if (row.extra != nullptr)
      write_file((row.extra_in_parent ? parent : install) + "\\" + row.extra);
    const std::string held = install + "\\" + row.held;
    if (row.read_only) SetFileAttributesA(held.c_str(), FILE_ATTRIBUTE_READONLY);
    Told told;
    removal::StepResult result;
    std::string left = held;
    {
      std::optional<testbed::RunningImage> image;
      if (row.image) image.emplace(held);
      const base::unique_file handle(row.image ? INVALID_HANDLE_VALUE
                                               : CreateFileA(held.c_str(), GENERIC_READ,
                                                             FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                             nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(row.image || handle) << held;
      result = removal::remove_program_files((install + "\\").c_str(), &told);
      if (row.image) {
        left = install + "\\" + testbed::moved_aside(install, row.held);
        EXPECT_NO_THROW(write_file(held)) << "the moved file's own name is free";
      }
    }
    EXPECT_EQ(result.done, row.done) << row.held << row.pending;
    EXPECT_EQ(result.at_restart, row.at_restart) << row.held << row.pending;
    const std::vector<std::string> order = {"\\??\\" + left, "\\??\\" + install, "\\??\\" + parent};
    EXPECT_EQ(testbed::pending_deletions(),
              std::vector<std::string>(order.begin(), order.begin() + row.pending))
        << row.held << row.pending;
    EXPECT_EQ(told.outcomes["directory"], row.directory) << row.held << row.pending;
    EXPECT_EQ(told.outcomes["parent"], row.parent) << row.held << row.pending;
    saved.restore();
    testbed::remove_tree(parent);
  }
}

// The testbed's Restart Manager stands in for Windows' (Wine's lists nobody); it is asked, and
// its session ended, for a report only.
TEST_F(ProgramFiles, TheRestartManagerNamesTheHoldersForAReportOnly) {
  const auto saved = test_support::SavedValue::of(HKEY_LOCAL_MACHINE, testbed::session_manager_key,
                                                  testbed::pending_renames_value);
  const auto load_order =
      test_support::SavedValue::of(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", "rstrtmgr");
  testbed::set_string_value(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", "rstrtmgr",
                            "native");
  testbed::place_system_library(testbed::program_directory() + "rstrtmgr.dll", "rstrtmgr.dll");
  const std::string log = root + "\\rstrtmgr.log";
  SetEnvironmentVariableA("RSTRTMGR_LOG", log.c_str());
  SetEnvironmentVariableA("RSTRTMGR_HOLDERS", "Merivane:1234;Help Viewer:88");
  const std::string held = install + "\\Setup.exe";
  for (const bool with_report : {true, false}) {
    testbed::make_directories(install);
    lay_files(install, all_files());
    const base::unique_file handle(CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    Told told;
    EXPECT_TRUE(
        removal::remove_program_files((install + "\\").c_str(), with_report ? &told : nullptr)
            .done);
    EXPECT_EQ(told.holders,
              with_report ? "Merivane (process 1234), Help Viewer (process 88)" : "none told");
  }
  EXPECT_EQ(testbed::read_lines(log),
            (std::vector<std::string>{"start session=0", "register session=0 files=1 first=" + held,
                                      "list session=0 room=8 -> 0", "end session=0"}));
  SetEnvironmentVariableA("RSTRTMGR_LOG", nullptr);
  SetEnvironmentVariableA("RSTRTMGR_HOLDERS", nullptr);
  testbed::remove_system_library("rstrtmgr.dll");
  load_order.restore();
  saved.restore();
}

// Wine removes the directory that a symbolic link leads to when asked to remove the link. A
// link at any level below the root would let whoever made it choose what is deleted: nothing is
// deleted through it, and the step fails.
TEST_F(ProgramFiles, NothingIsDeletedThroughADirectoryThatIsALink) {
  const std::string target = root + "\\target";
  for (const bool parent_is_link : {false, true}) {
    testbed::remove_tree(parent);
    testbed::make_directories(parent_is_link ? target + "\\Merivane" : target);
    if (!parent_is_link) testbed::make_directories(parent);
    testbed::make_directory_link(parent_is_link ? parent : install, target);
    lay_files(install, all_files());
    Told told;
    const removal::StepResult result =
        removal::remove_program_files((install + "\\").c_str(), &told);
    EXPECT_FALSE(result.done) << parent_is_link;
    EXPECT_EQ(testbed::directory_entries(parent_is_link ? target + "\\Merivane" : target).size(),
              all_files().size())
        << parent_is_link;
    EXPECT_EQ(told.outcomes["install_dir"], removal::Outcome::refused) << parent_is_link;
    EXPECT_EQ(told.outcomes.count("file"), 0u) << parent_is_link;
    testbed::remove_tree(parent_is_link ? parent : install);
    testbed::remove_tree(target);
  }
}

TEST_F(ProgramFiles, ForwardAndMixedSeparatorsWorkLikeBackslashes) {
  const std::string forward = "C:/merivane-tests/program-files/Quillaburst/Merivane/";
  lay_files(install, all_files());
  EXPECT_TRUE(removal::remove_program_files(forward.c_str()));
  EXPECT_FALSE(directory_exists(parent));

  testbed::make_directories(install);
  lay_files(install, all_files());
  const std::string mixed = "C:/merivane-tests\\program-files/Quillaburst\\Merivane/";
  EXPECT_TRUE(removal::remove_program_files(mixed.c_str()));
  EXPECT_FALSE(directory_exists(parent));
}

TEST_F(ProgramFiles, WithoutTrailingSeparatorTheNamesAreJoinedDirectly) {
  // The counted files are looked for beside the directory, under joined names.
  for (const std::string& name : all_files()) write_file(install + name);
  EXPECT_TRUE(removal::remove_program_files(install.c_str()));
  for (const std::string& name : all_files()) EXPECT_FALSE(file_exists(install + name));
  EXPECT_FALSE(directory_exists(install));
  EXPECT_FALSE(directory_exists(parent)) << "emptied of the joined files, the parent goes too";
}

TEST_F(ProgramFiles, TwoTrailingSeparatorsStripOnlyOne) {
  lay_files(install, all_files());
  EXPECT_TRUE(removal::remove_program_files((install + "\\\\").c_str()));
  EXPECT_FALSE(directory_exists(install));
  EXPECT_TRUE(directory_exists(parent)) << "the parent removal named the directory again";
}

// Wine, like Windows, reads "C:" as drive C's current directory, kept in the "=C:" variable.
TEST_F(ProgramFiles, BelowADriveRootNoOtherDirectoryIsTakenForTheParent) {
  const std::string below_root = "C:\\merivane-test-root-install";
  const std::string current = root + "\\empty current directory";
  testbed::remove_tree(below_root);
  testbed::make_directories(below_root);
  testbed::make_directories(current);
  lay_files(below_root, all_files());
  {
    const test_support::SavedDirectories directories;
    SetEnvironmentVariableA("=C:", current.c_str());
    EXPECT_TRUE(removal::remove_program_files((below_root + "\\").c_str()));
  }
  EXPECT_FALSE(directory_exists(below_root));
  EXPECT_TRUE(directory_exists(current));
  testbed::remove_tree(below_root);
}

TEST_F(ProgramFiles, EmptyInstallDirTouchesNothingInTheCurrentDirectory) {
  lay_files(install, all_files());
  {
    const test_support::SavedDirectories directories;
    ASSERT_TRUE(SetCurrentDirectoryA(install.c_str()));
    EXPECT_FALSE(removal::remove_program_files(""));
  }
  for (const std::string& name : all_files()) EXPECT_TRUE(file_exists(install + "\\" + name));
  EXPECT_FALSE(removal::delete_installed_file("", "Setup.exe"));
}

// Each form names the current directory, a drive's current directory or a root, not a directory
// below a root. Decoys wait where a wrong path would land: files of the five names and empty
// directories that a wrong removal would take. Wine, like Windows, reads "C:" as drive C's
// current directory: the process's own when C is the current drive, else the "=C:" variable's.
TEST_F(ProgramFiles, AnInstallDirThatIsNoDirectoryBelowARootTouchesNothing) {
  const std::string working = root + "\\working";  // the current directory for relative forms
  const std::string c_current_empty = root + "\\c-current-empty";
  const std::string c_current_files = root + "\\c-current-files";
  const std::string rooted = "C:\\merivane-decoy-rooted";
  const std::string climbed = "C:\\merivane-decoy-empty";
  struct Case {
    const char* install_dir;
    bool from_working;             // else from drive Z:, with "=C:" set
    const std::string* c_current;  // the "=C:" directory
  };
  const Case cases[] = {
      {"Merivane\\", true, nullptr},
      {"..\\x\\", true, nullptr},
      {"C:Merivane\\", true, nullptr},
      {"\\merivane-decoy-rooted\\", true, nullptr},
      {"C:", false, &c_current_files},
      {"C:\\", false, &c_current_empty},
      {"C:/", false, &c_current_empty},
      {"C:\\merivane-decoy-empty\\..\\", false, &c_current_empty},
      {"C:\\merivane-decoy-empty\\..", false, &c_current_empty},
  };
  const std::vector<std::string> filled = {working,         working + "\\Merivane",
                                           root + "\\x",    rooted,
                                           c_current_files, "C:"};  // "C:" + "\\": the root
  const std::vector<std::string> empty = {c_current_empty, climbed};

  for (const Case& c : cases) {
    for (const std::string& directory : filled) {
      if (directory != "C:") testbed::make_directories(directory);
      lay_files(directory, all_files());
    }
    for (const std::string& directory : empty) testbed::make_directories(directory);
    {
      const test_support::SavedDirectories directories;
      if (c.c_current != nullptr) SetEnvironmentVariableA("=C:", c.c_current->c_str());
      if (c.from_working) {
        ASSERT_TRUE(SetCurrentDirectoryA(working.c_str()));
      }
      EXPECT_FALSE(removal::remove_program_files(c.install_dir)) << c.install_dir;
      for (const std::string& name : all_files())
        EXPECT_FALSE(removal::delete_installed_file(c.install_dir, name.c_str())) << c.install_dir;
    }
    for (const std::string& directory : filled) {
      for (const std::string& name : all_files())
        EXPECT_TRUE(file_exists(directory + "\\" + name)) << c.install_dir << ": " << directory;
    }
    for (const std::string& directory : empty)
      EXPECT_TRUE(directory_exists(directory)) << c.install_dir << ": " << directory;
  }
  for (const std::string& name : all_files()) DeleteFileA(("C:\\" + name).c_str());
  testbed::remove_tree(rooted);
  testbed::remove_tree(climbed);
}

// An install_dir long enough for joined paths to pass 260 bytes names the real directory
// through ".\" steps; files named like the paths' cut-off ends wait in it to be deleted by
// mistake. Only a path that fits whole, zero included, is acted on.
TEST_F(ProgramFiles, APathPastTheBufferIsNeverCutAndActedOn) {
  for (const std::size_t length : {std::size_t{250}, std::size_t{251}}) {
    // One separator or a doubled one, so that the ".\" steps end on the length asked for.
    std::string long_dir = install + ((length - install.size()) % 2 == 0 ? "\\\\" : "\\");
    while (long_dir.size() < length) long_dir += ".\\";
    ASSERT_EQ(long_dir.size(), length);
    ASSERT_EQ(long_dir.back(), '\\');

    testbed::make_directories(install);
    lay_files(install, all_files());
    std::vector<std::string> decoys;
    for (const std::string& name : all_files()) {
      for (std::size_t cut = 1; cut < name.size(); ++cut) {
        const std::string decoy = name.substr(0, cut);
        if (decoy.back() != '.') decoys.push_back(decoy);
      }
    }
    lay_files(install, decoys);
    auto expected = testbed::directory_entries(install);
    // 250 characters and "Setup.exe" are 259 and the zero: that one path fits.
    if (length == 250) std::erase(expected, "Setup.exe");

    EXPECT_FALSE(removal::remove_program_files(long_dir.c_str())) << length;
    EXPECT_EQ(testbed::directory_entries(install), expected) << length;
  }
  const std::string far_too_long(4000, 'a');
  EXPECT_FALSE(removal::remove_program_files((far_too_long + "\\").c_str()));
}

}  // namespace
