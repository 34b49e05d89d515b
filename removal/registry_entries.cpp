#include "removal/registry_entries.h"

#include <windows.h>

#include <span>

#include "app/unique_any.h"

namespace removal {

namespace {

constexpr char uninstall_entry_key[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillaburst Merivane";
constexpr const char* uninstall_entry_values[] = {"DisplayName", "UninstallString",
                                                  "InstallLocation"};

constexpr char settings_key[] = "Software\\Quillaburst\\Merivane\\1.0";
constexpr const char* settings_values[] = {
    "UpdateCalendar",
    "UpdateStartAndDue",
    "DefaultToCurrent",
    "FirstTaskDate",
    "TaskOrder",
    "Breaks",
    "KeepProgressRecord",
    "SubjectTemplate",
    "CompletedTemplate",
    "TasksFolder",
    "CompletedTasksFolder",
    "MoveCompletedTasks",
    "Snap",
    "SnapMinutes",
    "CalendarFolder",
    "OutputCalFolder",
    "IgnoreDeferred",
    "IgnoreWaiting",
    "ReminderDuration",
    "MessageDone",
    "AllPrivateEntries",
    "TaskShortcuts",
    "AlertStatus",
};
// Deepest first: a key is deleted only once it has no subkeys.
constexpr const char* settings_keys[] = {settings_key, "Software\\Quillaburst\\Merivane",
                                         "Software\\Quillaburst"};

// Deletes the named values where the key opens for writing; a key that does not open is
// left alone.
void delete_values(HKEY root, const char* path, std::span<const char* const> names) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_WRITE, &opened) != ERROR_SUCCESS) return;
  const app::unique_hkey key(opened);
  for (const char* name : names) RegDeleteValueA(key.get(), name);
}

}  // namespace

bool remove_registry_entries() {
  delete_values(HKEY_LOCAL_MACHINE, uninstall_entry_key, uninstall_entry_values);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, uninstall_entry_key);

  delete_values(HKEY_CURRENT_USER, settings_key, settings_values);
  for (const char* key : settings_keys) RegDeleteKeyA(HKEY_CURRENT_USER, key);
  return true;
}

}  // namespace removal
