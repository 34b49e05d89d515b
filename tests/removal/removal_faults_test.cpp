// The removal steps under faults: files and the directory held open, other products' files
// and keys beside the add-in's, shell folders that lead nowhere. Each case is judged by the
// whole prefix: what changed between a snapshot before and one after must be exactly what the
// steps are meant to remove, and nothing else.

#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/unique_any.h"
#include "removal/program_files.h"
#include "removal/registry_entries.h"
#include "removal/shortcuts.h"
#include "testbed/machine/installation.h"
#include "tests/support/child_process.h"
#include "tests/support/saved_state.h"
#include "tests/support/snapshot.h"

namespace {

using test_support::diff;
using test_support::removals;
using test_support::Snapshot;
using test_support::take_snapshot;
using test_support::value_entry;

const std::string root = "C:\\merivane-tests\\removal-faults";
// Shell folders moved out of the way wait here, outside what TearDown wipes.
const std::string aside_root = "C:\\merivane-tests\\removal-faults-aside";

const std::string settings_key = std::string("HKCU\\") + testbed::settings_key;
const std::string product_key = std::string("HKCU\\") + testbed::product_key;
const std::string maker_key = std::string("HKCU\\") + testbed::maker_key;

// An installation of its own for each case: <root>\<case>\Quillaburst\Merivane\ .
struct Place {
  std::string install;    // with its trailing backslash, as the command line gives it
  std::string directory;  // the installation directory
  std::string parent;
};

Place place_for(const std::string& name) {
  const std::string parent = root + "\\" + name + "\\Quillaburst";
  return {parent + "\\Merivane\\", parent + "\\Merivane", parent};
}

std::string without_separator(const std::string& folder) {
  return folder.substr(0, folder.size() - 1);
}
std::string desktop_shortcut() {
  return testbed::special_folder(CSIDL_DESKTOPDIRECTORY) + testbed::shortcut_name;
}
std::string programs_shortcut() {
  return testbed::special_folder(CSIDL_COMMON_PROGRAMS) + testbed::shortcut_name;
}

// The program files of the installation, but those named in kept.
std::vector<std::string> program_files(const Place& place,
                                       const std::vector<std::string>& kept = {}) {
  std::vector<std::string> paths;
  for (const std::string& name : testbed::program_file_names())
    if (std::find(kept.begin(), kept.end(), name) == kept.end())
      paths.push_back(place.install + name);
  return paths;
}

// The uninstall entry as a snapshot names it, in every view the program removes it from.
std::vector<std::string> uninstall_keys() {
  std::vector<std::string> keys;
  for (const testbed::RegistryView& view : testbed::uninstall_entry_views())
    keys.push_back("HKLM\\" + testbed::key_in_view(view, testbed::uninstall_entry_key));
  return keys;
}

// The values the registry step deletes by name: three of each uninstall entry, and 23.
std::vector<std::string> named_values() {
  std::vector<std::string> names;
  for (const std::string& key : uninstall_keys())
    for (const std::string& value : testbed::uninstall_entry_value_names())
      names.push_back(value_entry(key, value));
  for (const std::string& value : testbed::settings_value_names())
    names.push_back(value_entry(settings_key, value));
  return names;
}

// Each uninstall entry, with the installer's value that the add-in's list does not name.
std::vector<std::string> uninstall_entries_with_extra_value() {
  std::vector<std::string> names;
  for (const std::string& key : uninstall_keys()) {
    names.push_back(key);
    names.push_back(value_entry(key, "Publisher"));
  }
  return names;
}

void append(std::vector<std::string>& to, const std::vector<std::string>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The one registry value of a key, as it was; absent when it was not there.

// Moves a shell folder away for the life of the object, and back.
class FolderAside {
 public:
  explicit FolderAside(const std::string& folder)
      : folder_(folder), aside_(aside_root + "\\" + std::to_string(++count_)) {
    testbed::make_directories(aside_root);
    moved_ = MoveFileA(folder_.c_str(), aside_.c_str()) != FALSE;
  }
  FolderAside(const FolderAside&) = delete;
  FolderAside& operator=(const FolderAside&) = delete;
  ~FolderAside() {
    if (!moved_) return;
    testbed::remove_tree(folder_);  // should the lookup have made it anew
    MoveFileA(aside_.c_str(), folder_.c_str());
  }
  bool moved() const { return moved_; }

 private:
  std::string folder_;
  std::string aside_;
  bool moved_ = false;
  static inline int count_ = 0;
};

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Wide and through "\\?\", as some trees made here go past MAX_PATH.
void remove_tree_deep(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  const test_support::unique_find search(FindFirstFileW((path + L"\\*").c_str(), &found));
  if (search) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree_deep(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search.get(), &found));
  }
  RemoveDirectoryW(path.c_str());
}

class RemovalFaults : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }

  static void clear() {
    remove_tree_deep(L"\\\\?\\" + wide(root));
    remove_tree_deep(L"\\\\?\\" + wide(aside_root));
    for (const testbed::RegistryView& view : testbed::both_registry_views)
      testbed::delete_key_tree(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key, view.access);
    testbed::delete_key_tree(HKEY_CURRENT_USER, testbed::maker_key);
    DeleteFileA(desktop_shortcut().c_str());
    DeleteFileA(programs_shortcut().c_str());
  }

  // Another product of the same maker beside the add-in's settings, and a value of the
  // installer's that the add-in's list does not name, in the uninstall entry.
  static void lay_foreign_registry() {
    const std::string other = std::string(testbed::maker_key) + "\\Otherware\\2.0";
    testbed::set_string_value(HKEY_CURRENT_USER, other, "Snap", "theirs");
    testbed::set_string_value(HKEY_CURRENT_USER, other, "UpdateCalendar", "theirs");
    testbed::set_string_value(HKEY_CURRENT_USER, testbed::maker_key, "Licence", "theirs");
    testbed::set_string_value(HKEY_CURRENT_USER, testbed::maker_key, "", "maker default");
    for (const testbed::RegistryView& view : testbed::uninstall_entry_views())
      testbed::set_string_value(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key, "Publisher",
                                "Quillaburst", view.access);
  }
};

// --- the snapshot itself ---

long long milliseconds_since(std::chrono::steady_clock::time_point start) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
}

TEST_F(RemovalFaults, SnapshotShowsEveryKindOfChangeAsOneLineEach) {
  const std::string base = root + "\\snapshot";
  testbed::make_directories(base + "\\stays");
  testbed::make_directories(base + "\\goes");
  testbed::write_file(base + "\\stays\\grows.txt", "ab");
  testbed::write_file(base + "\\deleted.txt", "x");
  testbed::write_file(base + "\\marked.txt", "m");
  // Deeper than the ANSI calls reach: the walk must not stop at MAX_PATH.
  std::wstring deep = L"\\\\?\\" + wide(base);
  std::string deep_name = base;
  for (int level = 0; level < 30; ++level) {
    deep += L"\\level-" + std::to_wstring(level);
    deep_name += "\\level-" + std::to_string(level);
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  }
  ASSERT_GT(deep_name.size(), std::size_t{MAX_PATH});
  const std::string key = "Software\\Quillaburst\\snapshot";
  const std::string key_name = "HKCU\\" + key;
  testbed::set_string_value(HKEY_CURRENT_USER, key, "text", "a");
  testbed::set_string_value(HKEY_CURRENT_USER, key, "turns", "1");
  testbed::set_string_value(HKEY_CURRENT_USER, key + "\\goes", "x", "y");
  testbed::set_string_value(HKEY_CURRENT_USER, key + "\\remade", "v", "1");

  const Snapshot before = take_snapshot();
  testbed::write_file(base + "\\stays\\grows.txt", "abcd");
  ASSERT_TRUE(DeleteFileA((base + "\\deleted.txt").c_str()));
  ASSERT_TRUE(SetFileAttributesA((base + "\\marked.txt").c_str(),
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
  testbed::write_file(base + "\\added.txt", "new");
  ASSERT_TRUE(RemoveDirectoryA((base + "\\goes").c_str()));
  const base::unique_file deep_file(CreateFileW((deep + L"\\deep.txt").c_str(), GENERIC_WRITE, 0,
                                                nullptr, CREATE_NEW, 0, nullptr));
  ASSERT_TRUE(deep_file);
  testbed::set_string_value(HKEY_CURRENT_USER, key, "text", "b");
  const DWORD two = 2;
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), "turns", REG_DWORD, &two, sizeof two),
            ERROR_SUCCESS);
  const BYTE bytes[] = {0x01, 0xFE};
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), "odd\\\"name", REG_BINARY, bytes,
                            sizeof bytes),
            ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, (key + "\\goes").c_str()), ERROR_SUCCESS);
  testbed::set_string_value(HKEY_CURRENT_USER, key + "\\comes", "", "");
  // Deleted and made anew under the same name: another key, which the snapshot must read.
  ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, (key + "\\remade").c_str()), ERROR_SUCCESS);
  testbed::set_string_value(HKEY_CURRENT_USER, key + "\\remade", "v", "2");
  const Snapshot after = take_snapshot();

  EXPECT_EQ(sorted(diff(before, after)),
            sorted({
                "changed file " + base +
                    "\\stays\\grows.txt (2 bytes, attributes 0x20) -> "
                    "(4 bytes, attributes 0x20)",
                "removed file " + base + "\\deleted.txt (1 bytes, attributes 0x20)",
                "changed file " + base +
                    "\\marked.txt (1 bytes, attributes 0x20) -> "
                    "(1 bytes, attributes 0x21)",
                "added file " + base + "\\added.txt (3 bytes, attributes 0x20)",
                "removed directory " + base + "\\goes (attributes 0x10)",
                "added file " + deep_name + "\\deep.txt (0 bytes, attributes 0x20)",
                "changed value " + key_name + " \"text\" (REG_SZ \"a\\0\") -> (REG_SZ \"b\\0\")",
                "changed value " + key_name +
                    " \"turns\" (REG_SZ \"1\\0\") -> "
                    "(REG_DWORD 0x00000002)",
                "added value " + key_name + " \"odd\\\\\\\"name\" (REG_BINARY 2 bytes 01 FE)",
                "removed key " + key_name + "\\goes",
                "removed value " + key_name + "\\goes \"x\" (REG_SZ \"y\\0\")",
                "added key " + key_name + "\\comes",
                "added value " + key_name + "\\comes \"\" (REG_SZ \"\\0\")",
                "changed value " + key_name +
                    "\\remade \"v\" (REG_SZ \"1\\0\") -> "
                    "(REG_SZ \"2\\0\")",
            }));
}

// --- program files ---

// Windows refuses to delete a file opened without FILE_SHARE_DELETE (a sharing violation), and
// Wine does the same. The held file is left for the restart, and with it the directory and the
// parent that only it keeps: whichever file it is, nothing else stays, and the step is done.
TEST_F(RemovalFaults, AProgramFileHeldOpenIsAllThatStaysAndTheStepIsDone) {
  const auto saved = test_support::SavedValue::of(HKEY_LOCAL_MACHINE, testbed::session_manager_key,
                                                  testbed::pending_renames_value);
  for (const std::string& held : testbed::program_file_names()) {
    SCOPED_TRACE(held);
    const Place place = place_for("held-" + held);
    testbed::lay_installation(place.install);
    const base::unique_file handle(CreateFileA((place.install + held).c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(handle);

    const Snapshot before = take_snapshot();
    EXPECT_TRUE(removal::remove_program_files(place.install.c_str()));
    const Snapshot after = take_snapshot();

    EXPECT_EQ(diff(before, after), removals(before, program_files(place, {held})));
  }
  saved.restore();
}

// Windows refuses to remove a directory that is open without FILE_SHARE_DELETE; this test
// holds that Wine refuses too.
TEST_F(RemovalFaults, TheInstallationDirectoryHeldOpenStaysEmptyAndTheStepFails) {
  const Place place = place_for("directory-held");
  testbed::lay_installation(place.install);
  const base::unique_file handle(CreateFileA(place.directory.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(handle);

  const Snapshot before = take_snapshot();
  EXPECT_FALSE(removal::remove_program_files(place.install.c_str()));
  const Snapshot after = take_snapshot();

  EXPECT_EQ(diff(before, after), removals(before, program_files(place)));
}

TEST_F(RemovalFaults, AnotherProductsFileKeepsTheParentButNotTheInstallationDirectory) {
  const Place place = place_for("shared-parent");
  testbed::lay_installation(place.install);
  testbed::write_file(place.parent + "\\Otherware.exe", "theirs");

  const Snapshot before = take_snapshot();
  EXPECT_TRUE(removal::remove_program_files(place.install.c_str()));
  const Snapshot after = take_snapshot();

  std::vector<std::string> gone = program_files(place);
  gone.push_back(place.directory);
  EXPECT_EQ(diff(before, after), removals(before, gone));
}

// --- registry entries ---

// Keys go as RegDeleteKey allows: one without subkeys goes whole, values it still holds with
// it (so the installer's extra value leaves with the uninstall entry), one with subkeys stays.
TEST_F(RemovalFaults, OnlyTheNamedValuesAndTheKeysLeftWithoutSubkeysGo) {
  testbed::lay_installation(place_for("registry").install);
  lay_foreign_registry();

  const Snapshot before = take_snapshot();
  EXPECT_TRUE(removal::remove_registry_entries());
  const Snapshot after = take_snapshot();

  std::vector<std::string> gone = named_values();
  append(gone, uninstall_entries_with_extra_value());
  append(gone, {settings_key, product_key});
  EXPECT_EQ(diff(before, after), removals(before, gone));
}

// --- shortcuts ---

// A shell folder that leads nowhere: its registry values point at a path that does not exist,
// or the folder has been moved away. Wine, like Windows, reads the values at each lookup.
struct ShortcutCase {
  const char* name;
  bool desktop_pointed_away;
  bool programs_pointed_away;  // the all-users Programs folder, the one looked at
  bool users_programs_pointed_away;
  bool desktop_moved;
  bool programs_moved;
  bool result;
  bool desktop_shortcut_goes;
  bool programs_shortcut_goes;
};

// Wine builds the shell's desktop folder once per process, from the Desktop path as it is at
// the shell's first use; every path the shell turns into an id list goes through it.
const ShortcutCase shell_used_before[] = {
    {"desktop pointed at nothing", true, false, false, false, false, true, false, true},
    {"all users' Programs pointed at nothing", false, true, false, false, false, false, true,
     false},
    {"the user's own Programs pointed at nothing", false, false, true, false, false, true, true,
     true},
    {"desktop and both Programs pointed at nothing", true, true, true, false, false, false, false,
     false},
    {"desktop folder moved away", false, false, false, true, false, true, false, true},
    {"all users' Programs folder moved away", false, false, false, false, true, false, true, false},
};
// A process whose first use of the shell finds the Desktop missing, as the uninstaller's own
// would (no earlier step of it uses the shell): under Wine no desktop folder is built, no path
// becomes an id list, and the Programs lookup fails too. On Windows the desktop is the
// namespace's virtual root, not built from that path, and the Programs lookup is not expected
// to hang on it.
const ShortcutCase shell_first_used_here[] = {
    {"desktop pointed at nothing", true, false, false, false, false, false, false, false},
    {"desktop folder moved away", false, false, false, true, false, false, false, false},
};

const char shortcut_case_variable[] = "MERIVANE_SHORTCUT_CASE";

void check_shortcut_case(const ShortcutCase& c) {
  SCOPED_TRACE(c.name);
  const std::string desktop = desktop_shortcut();
  const std::string programs = programs_shortcut();
  const std::string nowhere = root + "\\nowhere";
  testbed::lay_installation(place_for("shortcuts").install);

  std::vector<std::unique_ptr<test_support::ShellFolderRedirect>> redirects;
  if (c.desktop_pointed_away)
    redirects.push_back(std::make_unique<test_support::ShellFolderRedirect>(
        HKEY_CURRENT_USER, "Desktop", nowhere + "\\Desktop"));
  if (c.programs_pointed_away)
    redirects.push_back(std::make_unique<test_support::ShellFolderRedirect>(
        HKEY_LOCAL_MACHINE, "Common Programs", nowhere + "\\Common Programs"));
  if (c.users_programs_pointed_away)
    redirects.push_back(std::make_unique<test_support::ShellFolderRedirect>(
        HKEY_CURRENT_USER, "Programs", nowhere + "\\Programs"));
  std::vector<std::unique_ptr<FolderAside>> moved;
  if (c.desktop_moved)
    moved.push_back(std::make_unique<FolderAside>(
        without_separator(testbed::special_folder(CSIDL_DESKTOPDIRECTORY))));
  if (c.programs_moved)
    moved.push_back(std::make_unique<FolderAside>(
        without_separator(testbed::special_folder(CSIDL_COMMON_PROGRAMS))));
  for (const auto& folder : moved) ASSERT_TRUE(folder->moved());

  const Snapshot before = take_snapshot();
  EXPECT_EQ(removal::remove_shortcuts(), c.result);
  const Snapshot after = take_snapshot();

  std::vector<std::string> gone;
  if (c.desktop_shortcut_goes) gone.push_back(desktop);
  if (c.programs_shortcut_goes) gone.push_back(programs);
  EXPECT_EQ(diff(before, after), removals(before, gone));
}

// Has the shell build its desktop folder while the Desktop is sound, as in a process that used
// the shell before; true when it could.
bool use_the_shell_first() {
  char path[base::path_capacity];
  return removal::special_folder_path(nullptr, path, CSIDL_DESKTOPDIRECTORY);
}

TEST_F(RemovalFaults, AShellFolderThatLeadsNowhereSkipsOnlyItsShortcutOnceTheShellIsUp) {
  ASSERT_TRUE(use_the_shell_first());
  for (const ShortcutCase& c : shell_used_before) {
    check_shortcut_case(c);
    clear();
  }
}

// Wine differs from Windows here (see shell_first_used_here): the step fails and deletes
// nothing, not even the Programs shortcut it would otherwise find.
TEST_F(RemovalFaults, UnderWineADesktopMissingAtTheShellsFirstUseFailsTheWholeStep) {
  for (const ShortcutCase& c : shell_first_used_here) {
    EXPECT_EQ(test_support::run_child("RemovalFaultsChild.ShortcutCaseOnAFreshShell",
                                      {{shortcut_case_variable, c.name}}),
              0u)
        << c.name;
  }
}

class RemovalFaultsChild : public RemovalFaults {};

TEST_F(RemovalFaultsChild, ShortcutCaseOnAFreshShell) {
  CHILD_ONLY();
  char name[64];
  const DWORD length = GetEnvironmentVariableA(shortcut_case_variable, name, sizeof name);
  ASSERT_TRUE(length > 0 && length < sizeof name);
  for (const ShortcutCase& c : shell_first_used_here)
    if (std::string(c.name) == name) return check_shortcut_case(c);
  FAIL() << "no case " << name;
}

// --- the three steps together ---

// The steps in the program's order on one installation, first whole and then with every fault
// above at once: a held file, another product's file beside it, another product's keys and an
// extra uninstall value, and a desktop that leads nowhere (to a shell already up: see the
// shortcut cases for a desktop missing at the shell's first use).
TEST_F(RemovalFaults, TheThreeStepsInOrderRemoveExactlyWhatTheirResultsSay) {
  {
    const Place place = place_for("whole");
    testbed::lay_installation(place.install);
    const std::vector<std::string> shortcuts = {desktop_shortcut(), programs_shortcut()};

    const Snapshot before = take_snapshot();
    EXPECT_TRUE(removal::remove_program_files(place.install.c_str()));
    EXPECT_TRUE(removal::remove_registry_entries());
    EXPECT_TRUE(removal::remove_shortcuts());
    const Snapshot after = take_snapshot();

    std::vector<std::string> gone = program_files(place);
    append(gone, {place.directory, place.parent});
    append(gone, named_values());
    append(gone, uninstall_keys());
    append(gone, {settings_key, product_key, maker_key});
    append(gone, shortcuts);
    EXPECT_EQ(diff(before, after), removals(before, gone));
  }
  clear();
  {
    const Place place = place_for("faults");
    testbed::lay_installation(place.install);
    testbed::write_file(place.parent + "\\Otherware.exe", "theirs");
    lay_foreign_registry();
    const std::string programs = programs_shortcut();
    // Read-only as well as held: not left for a restart, so the step fails.
    SetFileAttributesA((place.install + "Merivane.chm").c_str(), FILE_ATTRIBUTE_READONLY);
    const base::unique_file handle(CreateFileA((place.install + "Merivane.chm").c_str(),
                                               GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(handle);
    ASSERT_TRUE(use_the_shell_first());
    const test_support::ShellFolderRedirect desktop(HKEY_CURRENT_USER, "Desktop",
                                                    root + "\\nowhere");

    const Snapshot before = take_snapshot();
    EXPECT_FALSE(removal::remove_program_files(place.install.c_str()));
    EXPECT_TRUE(removal::remove_registry_entries());
    EXPECT_TRUE(removal::remove_shortcuts());
    const Snapshot after = take_snapshot();

    std::vector<std::string> gone = program_files(place, {"Merivane.chm"});
    append(gone, named_values());
    append(gone, uninstall_entries_with_extra_value());
    append(gone, {settings_key, product_key});
    gone.push_back(programs);
    EXPECT_EQ(diff(before, after), removals(before, gone));
  }
}

// --- the snapshot, once more ---

// Run last: whatever the tests before changed, what the snapshot kept from its earlier readings
// is what a whole reading finds.
TEST_F(RemovalFaults, SnapshotCoversDriveCButWindowsAndBothSoftwareKeysAndMatchesAWholeReading) {
  testbed::make_directories(root);
  auto started = std::chrono::steady_clock::now();
  const Snapshot first = take_snapshot();
  const long long kept = milliseconds_since(started);
  started = std::chrono::steady_clock::now();
  const Snapshot whole = test_support::take_snapshot_afresh();
  std::printf("snapshot: %zu entries; %lld ms, read whole %lld ms\n", first.entries.size(), kept,
              milliseconds_since(started));

  EXPECT_EQ(diff(first, whole), std::vector<std::string>{});
  for (const char* name :
       {"C:\\users", "C:\\ProgramData", "C:\\Program Files", "C:\\merivane-tests",
        "HKCU\\Software\\Wine", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion"})
    EXPECT_EQ(first.entries.count(name), 1u) << name;
  std::vector<std::string> faults;
  for (const auto& [name, entry] : first.entries) {
    std::string lower = name;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(lower.rfind("c:\\windows", 0), 0u) << name;
    if (!entry.fault.empty()) faults.push_back(name + ": " + entry.fault);
  }
  // Wine answers the opening of this (empty) key with its HKEY_PERFORMANCE_TEXT handle, which
  // lists nothing; everything else is read whole.
  EXPECT_EQ(faults, std::vector<std::string>{
                        "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009: "
                        "opened as the predefined key 0x80000050, not read"});
}

}  // namespace
