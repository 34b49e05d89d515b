#pragma once

#include <windows.h>

#include "base/path_text.h"
#include "removal/report.h"

namespace removal {

// Removes the machine-wide uninstall entry and the per-user settings with their two parent
// keys. Every registry failure is absorbed; the answer is false when the uninstall entry or
// the add-in's own settings key is still there afterwards (what was never there counts as
// removed, and the maker's key may stay for another product's).
bool remove_registry_entries();
// The same, telling the report of every key and value it acts on.
bool remove_registry_entries(Report* report);
// Its two halves: the machine's uninstall entry (in both registry views), and the settings of
// the user who runs it. Each true when what it removes is gone.
bool remove_uninstall_entry(Report* report);
bool remove_user_settings(Report* report);
enum class SettingsRemoval {
  removed,  // the add-in's own keys are gone
  left,     // the add-in's own key could not be deleted
  link,     // a key on the way is a link: nothing was done
};
// The settings in another user's hive, opened at hive and named so in the report
// ("HKU\\<SID>"), by a process with more rights than that user: no key is opened through a
// link, and a key is deleted through the handle it was checked by.
SettingsRemoval remove_user_settings_unlinked(HKEY hive, const char* hive_name, Report* report);

// Whether Merivane is installed (again, after a removal): its uninstall entry in either registry
// view, or its program at the entry's InstallLocation.
bool installed_again();

// The uninstall entry's "InstallLocation" (the 32-bit view's first in a 64-bit program), with
// a trailing separator; false and an empty text when there is none that fits.
bool read_install_location(char (&directory)[base::path_capacity]);

}  // namespace removal
