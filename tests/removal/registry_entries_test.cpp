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

// The uninstall entry's value in every view the program removes the entry from.
void set_uninstall_value(const std::string& name, const std::string& value) {
  for (const testbed::RegistryView& view : testbed::uninstall_entry_views())
    testbed::set_string_value(HKEY_LOCAL_MACHINE, uninstall_key, name, value, view.access);
}

// Views in which the uninstall entry is still there.
int uninstall_entries_left() {
  int left = 0;
  for (const testbed::RegistryView& view : testbed::both_registry_views)
    left += key_exists(HKEY_LOCAL_MACHINE, uninstall_key, view.access) ? 1 : 0;
  return left;
}

class RegistryEntries : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }

  static void clear() {
    for (const testbed::RegistryView& view : testbed::both_registry_views)
      testbed::delete_key_tree(HKEY_LOCAL_MACHINE, uninstall_key, view.access);
    testbed::delete_key_tree(HKEY_CURRENT_USER, testbed::maker_key);
  }
  static void lay_entries() {
    for (const std::string& name : testbed::uninstall_entry_value_names())
      set_uninstall_value(name, "C:\\Merivane\\");
    for (const std::string& name : testbed::settings_value_names())
      testbed::set_string_value(HKEY_CURRENT_USER, testbed::settings_key, name, "1");
  }
};

TEST_F(RegistryEntries, EverythingPresentGoesWithAllFourKeys) {
  lay_entries();
  ASSERT_EQ(value_names(HKEY_CURRENT_USER, testbed::settings_key).size(), 23u);
  for (const testbed::RegistryView& view : testbed::uninstall_entry_views())
    ASSERT_EQ(value_names(HKEY_LOCAL_MACHINE, uninstall_key, view.access).size(), 3u);

  EXPECT_TRUE(removal::remove_registry_entries());
  EXPECT_EQ(uninstall_entries_left(), 0);
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::settings_key));
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::product_key));
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::maker_key));
  for (const testbed::RegistryView& view : testbed::uninstall_entry_views()) {
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE,
                           "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", view.access));
  }
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
  set_uninstall_value("Publisher", "Quillaburst");
  EXPECT_TRUE(removal::remove_registry_entries());
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::settings_key));
  EXPECT_EQ(uninstall_entries_left(), 0);
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
  EXPECT_EQ(uninstall_entries_left(), 0);
}

TEST_F(RegistryEntries, OnlyTheUninstallEntryOrOnlyTheSettingsArePresent) {
  for (const std::string& name : testbed::uninstall_entry_value_names())
    set_uninstall_value(name, "x");
  EXPECT_TRUE(removal::remove_registry_entries());
  EXPECT_EQ(uninstall_entries_left(), 0);

  testbed::set_string_value(HKEY_CURRENT_USER, testbed::settings_key, "Snap", "1");
  EXPECT_TRUE(removal::remove_registry_entries());
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::maker_key));
}

}  // namespace
