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

}  // namespace
