// Registry removal on Wine's real registry of the test prefix.

#include "removal/registry_entries.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testbed/machine/installation.h"

namespace {

using testbed::key_exists;
using testbed::value_exists;
using testbed::value_names;

const std::string uninstall_key = testbed::uninstall_entry_key;

class RegistryEntries : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }

  static void clear() {
    testbed::delete_key_tree(HKEY_LOCAL_MACHINE, uninstall_key);
    testbed::delete_key_tree(HKEY_CURRENT_USER, testbed::maker_key);
  }
  static void lay_entries() {
    for (const std::string& name : testbed::uninstall_entry_value_names())
      testbed::set_string_value(HKEY_LOCAL_MACHINE, uninstall_key, name, "C:\\Merivane\\");
    for (const std::string& name : testbed::settings_value_names())
      testbed::set_string_value(HKEY_CURRENT_USER, testbed::settings_key, name, "1");
  }
};

TEST_F(RegistryEntries, EverythingPresentGoesWithAllFourKeys) {
  lay_entries();
  ASSERT_EQ(value_names(HKEY_CURRENT_USER, testbed::settings_key).size(), 23u);
  ASSERT_EQ(value_names(HKEY_LOCAL_MACHINE, uninstall_key).size(), 3u);

  EXPECT_TRUE(removal::remove_registry_entries());
  EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, uninstall_key));
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::settings_key));
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::product_key));
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::maker_key));
  EXPECT_TRUE(
      key_exists(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"));
}

TEST_F(RegistryEntries, NothingPresentIsStillSuccess) {
  EXPECT_TRUE(removal::remove_registry_entries());
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::maker_key));
}

TEST_F(RegistryEntries, ASecondProductOfTheMakerSurvivesWithItsValues) {
  lay_entries();
  const std::string sibling = std::string(testbed::maker_key) + "\\Otherware\\2.0";
  testbed::set_string_value(HKEY_CURRENT_USER, sibling, "Snap", "keep");
  testbed::set_string_value(HKEY_CURRENT_USER, testbed::maker_key, "Licence", "keep");

  EXPECT_TRUE(removal::remove_registry_entries());
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::product_key));
  EXPECT_TRUE(value_exists(HKEY_CURRENT_USER, sibling, "Snap"));
  EXPECT_EQ(value_names(HKEY_CURRENT_USER, testbed::maker_key),
            std::vector<std::string>{"Licence"});
}

TEST_F(RegistryEntries, AnUnlistedValueGoesOnlyWithItsKey) {
  lay_entries();
  testbed::set_string_value(HKEY_CURRENT_USER, testbed::settings_key, "UserAddedValue", "x");
  testbed::set_string_value(HKEY_LOCAL_MACHINE, uninstall_key, "Publisher", "Quillaburst");
  EXPECT_TRUE(removal::remove_registry_entries());
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::settings_key));
  EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, uninstall_key));
}

TEST_F(RegistryEntries, ASettingsKeyWithASubkeyLosesItsListedValuesOnly) {
  lay_entries();
  testbed::set_string_value(HKEY_CURRENT_USER, testbed::settings_key, "UserAddedValue", "x");
  const std::string subkey = std::string(testbed::settings_key) + "\\Views";
  testbed::set_string_value(HKEY_CURRENT_USER, subkey, "Layout", "wide");

  EXPECT_TRUE(removal::remove_registry_entries());
  // Keys with subkeys are refused (NT behaviour, which Wine shares): the chain stays.
  EXPECT_EQ(value_names(HKEY_CURRENT_USER, testbed::settings_key),
            std::vector<std::string>{"UserAddedValue"});
  EXPECT_TRUE(value_exists(HKEY_CURRENT_USER, subkey, "Layout"));
  EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, testbed::maker_key));
  EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, uninstall_key));
}

TEST_F(RegistryEntries, OnlyTheUninstallEntryOrOnlyTheSettingsArePresent) {
  for (const std::string& name : testbed::uninstall_entry_value_names())
    testbed::set_string_value(HKEY_LOCAL_MACHINE, uninstall_key, name, "x");
  EXPECT_TRUE(removal::remove_registry_entries());
  EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, uninstall_key));

  testbed::set_string_value(HKEY_CURRENT_USER, testbed::settings_key, "Snap", "1");
  EXPECT_TRUE(removal::remove_registry_entries());
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::maker_key));
}

}  // namespace
