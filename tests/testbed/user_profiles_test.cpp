// Other users' profiles as the fleet tests lay them: Wine must load the hive text we write
// and give back each value with its type, and the fixture must leave nothing behind.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/unique_any.h"
#include "testbed/machine/installation.h"
#include "testbed/machine/profiles.h"

namespace {

using testbed::HiveValue;

struct ReadValue {
  LONG status = ERROR_SUCCESS;
  DWORD type = REG_NONE;
  std::string data;  // a DWORD as decimal text
};

ReadValue read_value(HKEY root, const std::string& key, const std::string& name, REGSAM view = 0) {
  ReadValue read;
  base::unique_hkey opened;
  read.status = RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE | view, opened.put());
  if (read.status != ERROR_SUCCESS) return read;
  BYTE data[1024];
  DWORD size = sizeof data;
  read.type = 0xdeadbeef;
  read.status = RegQueryValueExA(opened.get(), name.empty() ? nullptr : name.c_str(), nullptr,
                                 &read.type, data, &size);
  if (read.status != ERROR_SUCCESS) return read;
  if (read.type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD number = 0;
    std::copy(data, data + sizeof number, reinterpret_cast<BYTE*>(&number));
    read.data = std::to_string(number);
  } else {
    read.data.assign(reinterpret_cast<const char*>(data), size);
    if (!read.data.empty() && read.data.back() == '\0') read.data.pop_back();
  }
  return read;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

constexpr char scratch[] = "C:\\merivane-tests\\hives";
constexpr char scratch_hive[] = "MerivaneHiveTest";

// What the text must carry through Wine's parser: the escapes, a control character, the
// default value, a bracket in a key's name, the types.
TEST(WineHiveText, EveryValueLoadsBackWithItsTypeAndData) {
  const std::vector<HiveValue> values = {
      {"Software\\Plain", "Name", REG_SZ, "text with blanks"},
      {"Software\\Plain", "", REG_SZ, "the default value"},
      {"Software\\Plain", "Quote\"d", REG_SZ, "say \"yes\" to C:\\dir\\"},
      {"Software\\Plain", "Empty", REG_SZ, ""},
      {"Software\\Plain", "Tab", REG_SZ, "a\tb\x7f"},
      {"Software\\Deep\\Er [x]", "Path", REG_EXPAND_SZ, "%USERPROFILE%\\Desktop"},
      {"Software\\Deep\\Er [x]", "Count", REG_DWORD, "4294967295"},
      {"Software\\Deep\\Er [x]", "Zero", REG_DWORD, "0"},
  };
  testbed::remove_tree(scratch);
  testbed::make_directories(scratch);
  const std::string file = std::string(scratch) + "\\NTUSER.DAT";
  testbed::write_file(file, testbed::wine_hive_text(values));
  ASSERT_NO_THROW(testbed::load_hive(scratch_hive, file));
  EXPECT_TRUE(contains(testbed::loaded_hives(), scratch_hive));
  for (const HiveValue& value : values) {
    const ReadValue read =
        read_value(HKEY_USERS, std::string(scratch_hive) + "\\" + value.key, value.name);
    EXPECT_EQ(read.status, ERROR_SUCCESS) << value.key << " " << value.name;
    EXPECT_EQ(read.type, value.type) << value.key << " " << value.name;
    EXPECT_EQ(read.data, value.data) << value.key << " " << value.name;
  }
  EXPECT_TRUE(testbed::user_key_exists(scratch_hive, "Software\\Deep"));
  EXPECT_FALSE(testbed::user_key_exists(scratch_hive, "Software\\Deep\\Er"));
  EXPECT_EQ(testbed::unload_hive(scratch_hive), ERROR_SUCCESS);
  EXPECT_FALSE(contains(testbed::loaded_hives(), scratch_hive));
  EXPECT_FALSE(testbed::user_key_exists(scratch_hive, "Software\\Plain"));
  testbed::remove_tree(scratch);
}

TEST(WineHiveText, RefusesWhatItCannotWrite) {
  EXPECT_THROW(testbed::wine_hive_text({{"Software\\X", "Bytes", REG_BINARY, "01"}}),
               std::runtime_error);
}

// Each option of the fixture, then its removal: the ProfileList entry, the folder, the hive
// file and the loaded hive.
TEST(UserProfileFixture, LaysEachOptionAndRemovesItAll) {
  struct Row {
    const char* what;
    testbed::UserProfile profile;
    bool person;
  };
  testbed::UserProfile loaded = testbed::person_profile("mv-loaded", "S-1-5-21-11-22-33-1101");
  loaded.loaded = true;
  testbed::UserProfile no_hive = testbed::person_profile("mv-no-hive", "S-1-5-21-11-22-33-1102");
  no_hive.hive = false;
  testbed::UserProfile no_folder =
      testbed::person_profile("mv-no-folder", "S-1-5-21-11-22-33-1103");
  no_folder.folder = false;
  const Row rows[] = {
      {"on disk", testbed::person_profile("mv-on-disk", "S-1-5-21-11-22-33-1100"), true},
      {"loaded", loaded, true},
      {"no hive", no_hive, true},
      {"no folder", no_folder, true},
      {"service", testbed::service_profile("MerivaneAgent", "S-1-5-80-1-2-3-4-5"), false},
      {"system", testbed::system_profiles().at(0), false},
  };
  const std::vector<std::string> hives_before = testbed::loaded_hives();
  for (const Row& row : rows) {
    const testbed::UserProfile& profile = row.profile;
    ASSERT_NO_THROW(testbed::lay_profile(profile)) << row.what;
    const std::string entry = std::string(testbed::profile_list_key) + "\\" + profile.sid;
    const ReadValue image =
        read_value(HKEY_LOCAL_MACHINE, entry, "ProfileImagePath", KEY_WOW64_64KEY);
    EXPECT_EQ(image.type, DWORD(REG_EXPAND_SZ)) << row.what;
    EXPECT_EQ(image.data, profile.image_path) << row.what;
    EXPECT_EQ(profile.directory().rfind("C:\\", 0), 0u) << row.what << ": " << profile.directory();
    EXPECT_EQ(testbed::directory_exists(profile.directory()), profile.folder) << row.what;
    EXPECT_EQ(testbed::profile_shortcut_exists(profile), profile.folder) << row.what;
    EXPECT_EQ(testbed::file_exists(profile.hive_file()), profile.folder && profile.hive)
        << row.what;
    EXPECT_EQ(contains(testbed::loaded_hives(), profile.sid), profile.loaded) << row.what;
    if (profile.loaded) {
      EXPECT_TRUE(testbed::user_key_exists(profile.sid, testbed::settings_key)) << row.what;
      const ReadValue desktop =
          read_value(HKEY_USERS, profile.sid + "\\" + testbed::user_shell_folders_key, "Desktop");
      EXPECT_EQ(desktop.type, DWORD(REG_EXPAND_SZ)) << row.what;
      EXPECT_EQ(desktop.data, "%USERPROFILE%\\Desktop") << row.what;
    }
    EXPECT_EQ(profile.is_person(), row.person) << row.what;
    const std::vector<testbed::UserProfile> listed = testbed::listed_profiles();
    const auto found = std::find_if(listed.begin(), listed.end(), [&profile](const auto& entry) {
      return entry.sid == profile.sid;
    });
    ASSERT_NE(found, listed.end()) << row.what;
    EXPECT_EQ(found->image_path, profile.image_path) << row.what;
    EXPECT_EQ(found->folder, profile.folder) << row.what;
    EXPECT_EQ(found->hive, profile.folder && profile.hive) << row.what;
    EXPECT_EQ(found->loaded, profile.loaded) << row.what;

    testbed::remove_profile(profile);
    EXPECT_FALSE(testbed::key_exists(HKEY_LOCAL_MACHINE, entry, KEY_WOW64_64KEY)) << row.what;
    EXPECT_FALSE(testbed::directory_exists(profile.directory())) << row.what;
    EXPECT_EQ(testbed::loaded_hives(), hives_before) << row.what;
    for (const testbed::UserProfile& entry : testbed::listed_profiles())
      EXPECT_NE(entry.sid, profile.sid) << row.what;
  }
  EXPECT_TRUE(testbed::directory_exists("C:\\users"));
  EXPECT_FALSE(testbed::directory_exists("C:\\windows\\ServiceProfiles"));
}

// Wine's prefix lists its one user, whose hive is HKEY_CURRENT_USER and not a file of its
// profile folder.
TEST(UserProfileFixture, ListsWinesOwnUserAsLoadedWithoutAHiveFile) {
  const std::vector<testbed::UserProfile> listed = testbed::listed_profiles();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].sid, testbed::wine_user_sid);
  EXPECT_EQ(listed[0].image_path.rfind("C:\\users\\", 0), 0u) << listed[0].image_path;
  EXPECT_TRUE(listed[0].folder);
  EXPECT_FALSE(listed[0].hive);
  EXPECT_TRUE(listed[0].loaded);
}

TEST(UserProfileFixture, NeverTouchesWinesOwnUser) {
  EXPECT_THROW(testbed::remove_profile(testbed::person_profile("x", testbed::wine_user_sid)),
               std::invalid_argument);
  EXPECT_TRUE(contains(testbed::loaded_hives(), testbed::wine_user_sid));
}

}  // namespace
