// Another user's settings and desktop shortcut, on Wine's real registry and file system: the
// user's hive stands under HKEY_USERS as a logged-on user's does.

#include "removal/user_profiles.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "testbed/machine/installation.h"

namespace {

const std::string sid = "S-1-5-21-77-77-77-1077";
const std::string folder = "C:\\merivane-tests\\users\\other";
const std::string elsewhere = "C:\\merivane-tests\\users\\elsewhere";
constexpr char shell_folders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

class Recorded final : public removal::Report {
 public:
  std::vector<std::string> said;
  void removed(const removal::Removal& removal) override {
    said.push_back(std::string(removal.kind) + " " + removal.path);
  }
};

TEST(UserProfiles, OnlyPeoplesAccountsAreTheirs) {
  for (const char* sid_text : {"S-1-5-21-1-2-3-1001", "S-1-12-1-5-6-7-8"})
    EXPECT_TRUE(removal::is_person_sid(sid_text)) << sid_text;
  for (const char* sid_text : {"S-1-5-18", "S-1-5-19", "S-1-5-20", "S-1-5-80-1-2-3-4-5", ""})
    EXPECT_FALSE(removal::is_person_sid(sid_text)) << sid_text;
}

// The settings go from the user's own hive, the shortcut from the desktop the hive names,
// but never from a folder outside the profile's: there the program does not act.
TEST(UserProfiles, TheUsersKeyGoesAndOnlyADesktopInsideTheProfileIsActedOn) {
  struct Row {
    const char* desktop;  // the hive's word, REG_EXPAND_SZ; null: none
    const char* acted_in;  // where the shortcut goes; null: nowhere
  };
  const Row rows[] = {
      {"%USERPROFILE%\\Desktop", "\\Desktop"},
      {"%userprofile%\\Work Desk", "\\Work Desk"},
      {nullptr, "\\Desktop"},
      {"%OTHER%\\Desktop", "\\Desktop"},
      {"%USERPROFILE%\\..\\elsewhere", nullptr},
      {"C:\\merivane-tests\\users\\elsewhere", nullptr},
  };
  const std::string hive = sid + "\\" + testbed::settings_key;
  for (const Row& row : rows) {
    const unsigned at = unsigned(&row - rows);
    testbed::remove_tree("C:\\merivane-tests\\users");
    for (const std::string& desk : {folder + "\\Desktop", folder + "\\Work Desk", elsewhere}) {
      testbed::make_directories(desk);
      testbed::write_file(desk + "\\Merivane.lnk");
    }
    testbed::delete_key_tree(HKEY_USERS, sid);
    testbed::set_string_value(HKEY_USERS, hive, "AlertStatus", "1");
    if (row.desktop != nullptr) {
      HKEY key = nullptr;
      ASSERT_EQ(RegCreateKeyA(HKEY_USERS, (sid + "\\" + shell_folders).c_str(), &key), 0);
      RegSetValueExA(key, "Desktop", 0, REG_EXPAND_SZ,
                     reinterpret_cast<const BYTE*>(row.desktop), DWORD(strlen(row.desktop) + 1));
      RegCloseKey(key);
    }
    Recorded report;
    const removal::ProfileOutcome outcome = removal::remove_from_profile({sid, folder}, &report);
    EXPECT_EQ(outcome.hive, removal::HiveReach::loaded) << at;
    EXPECT_TRUE(outcome.settings_removed) << at;
    EXPECT_FALSE(testbed::key_exists(HKEY_USERS, sid + "\\Software\\Quillaburst")) << at;
    EXPECT_EQ(std::count(report.said.begin(), report.said.end(),
                         "key HKU\\" + sid + "\\" + testbed::settings_key),
              1)
        << at << testing::PrintToString(report.said);
    EXPECT_EQ(outcome.shortcut_removed, row.acted_in != nullptr) << at;
    EXPECT_TRUE(testbed::file_exists(elsewhere + "\\Merivane.lnk")) << at << " outside the profile";
    if (row.acted_in != nullptr) {
      EXPECT_FALSE(testbed::file_exists(folder + row.acted_in + "\\Merivane.lnk")) << at;
    }
  }
  testbed::delete_key_tree(HKEY_USERS, sid);
  testbed::remove_tree("C:\\merivane-tests\\users");
}

}  // namespace
