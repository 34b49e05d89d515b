// Registry removal on Wine's real registry of the test prefix.

#include "removal/registry_entries.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/unique_any.h"
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
    for (const testbed::RegistryView& view : testbed::both_registry_views) {
      if (key_exists(HKEY_LOCAL_MACHINE, uninstall_key, view.access))
        testbed::set_key_security(HKEY_LOCAL_MACHINE, uninstall_key, "D:(A;;KA;;;WD)", view.access);
      testbed::delete_key_tree(HKEY_LOCAL_MACHINE, uninstall_key, view.access);
    }
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

TEST_F(RegistryEntries, ASettingsKeyWithASubkeyLosesItsListedValuesOnlyAndFails) {
  lay_entries();
  testbed::set_string_value(HKEY_CURRENT_USER, testbed::settings_key, "UserAddedValue", "x");
  const std::string subkey = std::string(testbed::settings_key) + "\\Views";
  testbed::set_string_value(HKEY_CURRENT_USER, subkey, "Layout", "wide");

  EXPECT_FALSE(removal::remove_registry_entries()) << "the add-in's settings key is left";
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

TEST_F(RegistryEntries, AnUninstallEntryWithASubkeyLosesItsListedValuesOnlyAndFails) {
  lay_entries();
  testbed::set_string_value(HKEY_LOCAL_MACHINE, uninstall_key, "Publisher", "Quillaburst");
  testbed::set_string_value(HKEY_LOCAL_MACHINE, uninstall_key + "\\Patches", "KB1", "x");

  EXPECT_FALSE(removal::remove_registry_entries()) << "the uninstall entry is left";
  EXPECT_EQ(value_names(HKEY_LOCAL_MACHINE, uninstall_key), std::vector<std::string>{"Publisher"});
  EXPECT_TRUE(value_exists(HKEY_LOCAL_MACHINE, uninstall_key + "\\Patches", "KB1"));
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::maker_key));
}

// Without write access to the uninstall entry (the rights of an unelevated user), the entry
// stays and so the step fails; the per-user settings still go. Wine, unlike Windows, lets a key
// be deleted whatever its access control list says: a subkey of the entry's own keeps it from
// going here, as the list alone keeps it on Windows.
TEST_F(RegistryEntries, AnUninstallEntryThatCannotBeChangedFailsTheStep) {
  lay_entries();
  testbed::set_string_value(HKEY_LOCAL_MACHINE, uninstall_key + "\\Patches", "KB1", "x");
  testbed::set_key_security(HKEY_LOCAL_MACHINE, uninstall_key, "D:(D;;0x10006;;;WD)(A;;KA;;;WD)");
  ASSERT_FALSE(testbed::value_names(HKEY_LOCAL_MACHINE, uninstall_key).empty());
  base::unique_hkey probe;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, uninstall_key.c_str(), 0, KEY_WRITE, probe.put()),
            ERROR_ACCESS_DENIED)
      << "the test prefix did not take the access control list";

  EXPECT_FALSE(removal::remove_registry_entries());
  EXPECT_EQ(value_names(HKEY_LOCAL_MACHINE, uninstall_key).size(), 3u);
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, testbed::maker_key));
}

// A 32-bit installer's entry lies in the 32-bit view of the machine's software. The 64-bit
// program removes the entry from both views; the 32-bit program sees only its own view, the
// 32-bit one, and leaves the other alone.
TEST_F(RegistryEntries, TheUninstallEntryGoesFromEveryViewTheProgramSees) {
  struct Case {
    bool in_32;
    bool in_64;
  };
  for (const Case c : {Case{true, false}, Case{false, true}, Case{true, true}}) {
    for (const std::string& name : testbed::uninstall_entry_value_names()) {
      if (c.in_32)
        testbed::set_string_value(HKEY_LOCAL_MACHINE, uninstall_key, name, "x", KEY_WOW64_32KEY);
      if (c.in_64)
        testbed::set_string_value(HKEY_LOCAL_MACHINE, uninstall_key, name, "x", KEY_WOW64_64KEY);
    }
    const std::string views = std::string(c.in_32 ? "32" : "") + (c.in_64 ? " 64" : "");
    EXPECT_TRUE(removal::remove_registry_entries()) << views;
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, uninstall_key, KEY_WOW64_32KEY)) << views;
#ifdef _WIN64
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, uninstall_key, KEY_WOW64_64KEY)) << views;
#else
    EXPECT_EQ(key_exists(HKEY_LOCAL_MACHINE, uninstall_key, KEY_WOW64_64KEY), c.in_64) << views;
#endif
    clear();
  }
}

}  // namespace
