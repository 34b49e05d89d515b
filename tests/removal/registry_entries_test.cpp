// Registry removal on Wine's real registry of the test prefix.

#include "removal/registry_entries.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
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

// A key of the add-in's that is there but cannot even be looked at is not known to be gone.
// A subkey keeps the key from being deleted (Wine deletes keys whatever their access list).
TEST_F(RegistryEntries, AKeyThatCannotBeOpenedForReadingIsLeftAndFailsTheStep) {
  for (const auto& [root, key] :
       {std::pair<HKEY, std::string>{HKEY_CURRENT_USER, testbed::product_key},
        {HKEY_LOCAL_MACHINE, uninstall_key}}) {
    lay_entries();
    testbed::set_string_value(root, key + "\\1.0\\Views", "Layout", "wide");
    testbed::set_key_security(root, key, "D:(D;;0x1;;;WD)(A;;KA;;;WD)");
    EXPECT_FALSE(removal::remove_registry_entries()) << key;
    testbed::set_key_security(root, key, "D:(A;;KA;;;WD)");
    clear();
  }
}

// The directory of an unattended run without "%": the 32-bit view's (where a 32-bit installer
// writes it) before the 64-bit one's, expanded, with a separator to join file names to.
TEST_F(RegistryEntries, TheInstallLocationIsReadFromTheViewsInTheirOrder) {
  SetEnvironmentVariableA("MERIVANE_TEST_APPS", "C:\\Apps");
  struct Case {
    DWORD type;
    const char* in_32;  // null: no value in that view
    const char* in_64;
    const char* expected;  // empty: none read
  };
  const bool wide = testbed::own_registry_view().access == KEY_WOW64_64KEY;
  const Case cases[] = {
      {REG_SZ, "C:\\Merivane\\", "C:\\Merivane\\", "C:\\Merivane\\"},
      {REG_EXPAND_SZ, "%MERIVANE_TEST_APPS%\\Merivane\\", nullptr, "C:\\Apps\\Merivane\\"},
      {REG_SZ, "C:\\Merivane", "C:\\Merivane", "C:\\Merivane\\"},
      {REG_SZ, nullptr, nullptr, ""},
      {REG_SZ, "C:\\A\\", nullptr, "C:\\A\\"},
      {REG_SZ, "C:\\A\\", "C:\\B\\", "C:\\A\\"},
      {REG_SZ, nullptr, "C:\\B\\", wide ? "C:\\B\\" : ""},
      {REG_SZ, "C:\\", nullptr, "C:\\"},  // refused by the file step, not here
  };
  for (const Case& c : cases) {
    for (const auto& [text, view] :
         {std::pair{c.in_32, KEY_WOW64_32KEY}, {c.in_64, KEY_WOW64_64KEY}})
      if (text != nullptr)
        testbed::set_string_value(HKEY_LOCAL_MACHINE, uninstall_key, "InstallLocation", text, view,
                                  c.type);
    char directory[base::path_capacity] = "poison";
    EXPECT_EQ(removal::read_install_location(directory), *c.expected != '\0') << c.expected;
    EXPECT_STREQ(directory, c.expected);
    clear();
  }
  SetEnvironmentVariableA("MERIVANE_TEST_APPS", nullptr);
}

}  // namespace
