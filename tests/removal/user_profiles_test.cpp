// Another user's settings and desktop shortcut, on Wine's real registry and file system: the
// user's hive stands under HKEY_USERS as a logged-on user's does.

#include "removal/user_profiles.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/unique_any.h"
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

// The system acting in a user's profile follows no link the user made: a desktop, or the
// profile's folder, that leads elsewhere (a Unix symbolic link reads as a reparse point under
// Wine) and a settings key that is a registry link are left to the user's own part at logon,
// and what they lead to stays.
TEST(UserProfiles, WhatALinkLeadsToIsLeftAlone) {
  const std::string target = "C:\\merivane-tests\\users\\target";
  const std::string settings_link = sid + "\\Software\\Quillaburst";
  const std::string linked_settings = sid + "\\Software\\Elsewhere";
  struct Row {
    const char* what;
    std::string link;  // a folder made a link to target; empty: none
    bool key_link;
  };
  const Row rows[] = {
      {"the desktop", folder + "\\Desktop", false},
      {"the profile's folder", folder, false},
      {"the settings' key", "", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testbed::remove_tree("C:\\merivane-tests\\users");
    testbed::delete_key_tree(HKEY_USERS, sid);
    testbed::make_directories(folder + "\\Desktop");
    testbed::make_directories(target + "\\Desktop");
    testbed::write_file(folder + "\\Desktop\\Merivane.lnk");
    testbed::write_file(target + "\\Merivane.lnk");
    testbed::write_file(target + "\\Desktop\\Merivane.lnk");
    if (!row.link.empty()) {
      testbed::remove_tree(row.link);
      testbed::make_directory_link(row.link, target);
    }
    testbed::set_string_value(HKEY_USERS, linked_settings + "\\Merivane\\1.0", "AlertStatus", "1");
    if (row.key_link) {
      base::unique_hkey link;
      ASSERT_EQ(RegCreateKeyExA(HKEY_USERS, settings_link.c_str(), 0, nullptr,
                                REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr,
                                link.put(), nullptr),
                ERROR_SUCCESS);
      const std::wstring to = L"\\Registry\\User\\" + std::wstring(sid.begin(), sid.end()) +
                              L"\\Software\\Elsewhere";
      ASSERT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                               reinterpret_cast<const BYTE*>(to.c_str()),
                               DWORD(to.size() * sizeof(wchar_t))),
                ERROR_SUCCESS);
    }
    const removal::ProfileOutcome outcome = removal::remove_from_profile({sid, folder}, nullptr);
    EXPECT_EQ(outcome.settings_link, row.key_link);
    EXPECT_EQ(outcome.settings_removed, !row.key_link);
    EXPECT_EQ(outcome.shortcut_link, !row.link.empty());
    EXPECT_EQ(outcome.shortcut_removed, row.link.empty());
    EXPECT_TRUE(testbed::file_exists(target + "\\Merivane.lnk"));
    EXPECT_TRUE(testbed::file_exists(target + "\\Desktop\\Merivane.lnk"));
    EXPECT_TRUE(testbed::value_exists(HKEY_USERS, linked_settings + "\\Merivane\\1.0", "AlertStatus"));
  }
  testbed::delete_key_tree(HKEY_USERS, sid);
  testbed::remove_tree("C:\\merivane-tests\\users");
}

}  // namespace
