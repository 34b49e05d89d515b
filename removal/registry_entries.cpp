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
constexpr char product_key[] = "Software\\Quillaburst\\Merivane";
constexpr const char* settings_keys[] = {settings_key, product_key, "Software\\Quillaburst"};

// The views of HKEY_LOCAL_MACHINE\Software that may hold the uninstall entry. A 32-bit
// installer writes it into the 32-bit view, which a 32-bit program reaches by its plain names;
// a 64-bit program names each view.
#ifdef _WIN64
constexpr REGSAM uninstall_entry_views[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
#else
constexpr REGSAM uninstall_entry_views[] = {0};
#endif

// Deletes the named values where the key opens for writing; a key that does not open is
// left alone.
void delete_values(HKEY root, const char* path, std::span<const char* const> names,
                   REGSAM view = 0) {
  app::unique_hkey key;
  if (RegOpenKeyExA(root, path, 0, KEY_WRITE | view, key.put()) != ERROR_SUCCESS) {
    key.release();
    return;
  }
  for (const char* name : names) RegDeleteValueA(key.get(), name);
}

void delete_key(HKEY root, const char* path, REGSAM view = 0) {
  if (view == 0)
    RegDeleteKeyA(root, path);
  else
    RegDeleteKeyExA(root, path, view, 0);
}

// A key that cannot be opened for any other reason than its absence is still there.
bool key_is_left(HKEY root, const char* path, REGSAM view = 0) {
  app::unique_hkey key;
  const LONG status = RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE | view, key.put());
  if (status != ERROR_SUCCESS) key.release();
  return status != ERROR_FILE_NOT_FOUND;
}

}  // namespace

bool remove_registry_entries() {
  for (const REGSAM view : uninstall_entry_views) {
    delete_values(HKEY_LOCAL_MACHINE, uninstall_entry_key, uninstall_entry_values, view);
    delete_key(HKEY_LOCAL_MACHINE, uninstall_entry_key, view);
  }

  delete_values(HKEY_CURRENT_USER, settings_key, settings_values);
  for (const char* key : settings_keys) delete_key(HKEY_CURRENT_USER, key);

  // The maker's key may stay for another product's; the add-in's own keys must be gone.
  bool removed = !key_is_left(HKEY_CURRENT_USER, product_key);
  for (const REGSAM view : uninstall_entry_views)
    removed = removed && !key_is_left(HKEY_LOCAL_MACHINE, uninstall_entry_key, view);
  return removed;
}

}  // namespace removal
