#include "removal/registry_entries.h"

#include <windows.h>

#include <cstring>
#include <span>
#include <string>

#include "base/module.h"
#include "base/registry.h"

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

const char* view_name(REGSAM view) {
  if (view == KEY_WOW64_32KEY) return "32";
  if (view == KEY_WOW64_64KEY) return "64";
  return nullptr;
}

// A registry root as the calls take it and as the log names it.
struct Root {
  HKEY key;
  const char* name;  // "HKLM", "HKCU", or a user's hive "HKU\\<SID>"
};
const Root machine_root{HKEY_LOCAL_MACHINE, "HKLM"};

// Tells the report, if any, how one registry call ended.
void tell(Report* report, const char* kind, const Root& root, const char* path, const char* value,
          REGSAM view, LONG status) {
  if (report == nullptr) return;
  const std::string whole = std::string(root.name) + "\\" + path;
  const Outcome outcome = status == ERROR_SUCCESS ? Outcome::deleted : outcome_of_error(status);
  report->removed(
      {kind, whole.c_str(), value, view_name(view), outcome, static_cast<unsigned long>(status)});
}

// Deletes the named values where the key opens for writing; a key that does not open is
// left alone.
void delete_values(const Root& root, const char* path, std::span<const char* const> names,
                   REGSAM view, Report* report) {
  base::unique_hkey key;
  const LONG opened = base::open_registry_key(root.key, path, KEY_WRITE | view, key);
  if (opened != ERROR_SUCCESS) {
    tell(report, "values", root, path, nullptr, view, opened);
    return;
  }
  for (const char* name : names)
    tell(report, "value", root, path, name, view, RegDeleteValueA(key.get(), name));
}

void delete_key(const Root& root, const char* path, REGSAM view, Report* report) {
  tell(report, "key", root, path, nullptr, view,
       view == 0 ? RegDeleteKeyA(root.key, path) : RegDeleteKeyExA(root.key, path, view, 0));
}

// A key that cannot be opened for any other reason than its absence is still there.
bool key_is_left(HKEY root, const char* path, REGSAM view = 0) {
  base::unique_hkey key;
  return base::open_registry_key(root, path, KEY_QUERY_VALUE | view, key) != ERROR_FILE_NOT_FOUND;
}

bool remove_settings(const Root& root, Report* report) {
  delete_values(root, settings_key, settings_values, 0, report);
  for (const char* key : settings_keys) delete_key(root, key, 0, report);
  // The maker's key may stay for another product's; the add-in's own keys must be gone.
  return !key_is_left(root.key, product_key);
}

// The settings' keys from the hive's root down, each a name below the one before.
constexpr const char* settings_path[] = {"Software", "Quillaburst", "Merivane", "1.0"};
constexpr std::size_t settings_depth = std::size(settings_path);

bool is_registry_link(HKEY key) {
  DWORD type = REG_NONE;
  return RegQueryValueExA(key, "SymbolicLinkValue", nullptr, &type, nullptr, nullptr) ==
             ERROR_SUCCESS &&
         type == REG_LINK;
}

// Deletes the key the handle was opened on, and no other: a name looked up again could lead
// through a link made meanwhile. The platform's error.
LONG delete_key_by_handle(HKEY key) {
  using NtDeleteKey = LONG(WINAPI*)(HANDLE);
  using RtlNtStatusToDosError = ULONG(WINAPI*)(LONG);
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const auto remove = base::module_entry<NtDeleteKey>(ntdll, "NtDeleteKey");
  const auto error_of = base::module_entry<RtlNtStatusToDosError>(ntdll, "RtlNtStatusToDosError");
  if (remove == nullptr || error_of == nullptr) return ERROR_PROC_NOT_FOUND;
  return static_cast<LONG>(error_of(remove(key)));
}

}  // namespace

SettingsRemoval remove_user_settings_unlinked(HKEY hive, const char* hive_name, Report* report) {
  const Root root{hive, hive_name};
  // Each key opened below the one before, never through a link: a link's target is not the
  // user's, and a process with more rights than the user must not act on it.
  base::unique_hkey keys[settings_depth];
  std::size_t depth = 0;
  for (; depth < settings_depth; ++depth) {
    const HKEY parent = depth == 0 ? hive : keys[depth - 1].get();
    const LONG opened = RegOpenKeyExA(parent, settings_path[depth], REG_OPTION_OPEN_LINK,
                                      KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS |
                                          DELETE,
                                      keys[depth].put());
    if (opened != ERROR_SUCCESS) {
      keys[depth].reset();
      break;
    }
    if (is_registry_link(keys[depth].get())) return SettingsRemoval::link;
  }
  if (depth == settings_depth) {
    for (const char* name : settings_values)
      tell(report, "value", root, settings_key, name, 0, RegDeleteValueA(keys[depth - 1].get(), name));
  } else {
    tell(report, "values", root, settings_key, nullptr, 0, ERROR_FILE_NOT_FOUND);
  }
  // Deepest first, as settings_keys names them; the maker's key may stay for another product's.
  bool product_left = false;
  for (std::size_t at = settings_depth - 1; at >= 1; --at) {
    const LONG deleted = keys[at] ? delete_key_by_handle(keys[at].get()) : ERROR_FILE_NOT_FOUND;
    tell(report, "key", root, settings_keys[settings_depth - 1 - at], nullptr, 0, deleted);
    if (at == 2) product_left = deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND;
  }
  return product_left ? SettingsRemoval::left : SettingsRemoval::removed;
}

bool remove_registry_entries() { return remove_registry_entries(nullptr); }

bool remove_registry_entries(Report* report) {
  const bool entry = remove_uninstall_entry(report);
  return remove_user_settings(report) && entry;
}

bool remove_uninstall_entry(Report* report) {
  for (const REGSAM view : uninstall_entry_views) {
    delete_values(machine_root, uninstall_entry_key, uninstall_entry_values, view, report);
    delete_key(machine_root, uninstall_entry_key, view, report);
  }
  bool removed = true;
  for (const REGSAM view : uninstall_entry_views)
    removed = removed && !key_is_left(HKEY_LOCAL_MACHINE, uninstall_entry_key, view);
  return removed;
}

bool remove_user_settings(Report* report) {
  return remove_settings({HKEY_CURRENT_USER, "HKCU"}, report);
}

bool installed_again() {
  // Either view, whichever this program's own is: an installer of either bitness may write it.
  for (const REGSAM view : {REGSAM{KEY_WOW64_32KEY}, REGSAM{KEY_WOW64_64KEY}}) {
    base::unique_hkey entry;
    if (base::open_registry_key(HKEY_LOCAL_MACHINE, uninstall_entry_key, KEY_QUERY_VALUE | view,
                                entry) == ERROR_SUCCESS)
      return true;
  }
  char directory[base::path_capacity];
  char program[base::path_capacity];
  if (!read_install_location(directory) || !base::join_path(program, directory, "Merivane.exe"))
    return false;
  const DWORD attributes = GetFileAttributesA(program);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool read_install_location(char (&directory)[base::path_capacity]) {
  for (const REGSAM view : uninstall_entry_views) {
    // Room for a separator to be added, and for a value stored without its zero.
    char text[base::path_capacity + 1];
    DWORD type = REG_NONE, size = 0;
    base::read_registry_string(uninstall_entry_key, "InstallLocation", "", HKEY_LOCAL_MACHINE, text,
                               base::path_capacity, &type, &size, view);
    if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
    text[size] = '\0';
    if (type == REG_EXPAND_SZ) {
      char expanded[base::path_capacity];
      const DWORD length = ExpandEnvironmentStringsA(text, expanded, sizeof expanded);
      if (length == 0 || length > sizeof expanded || !base::copy_path(text, expanded)) continue;
    }
    // The file names are joined to it directly: it must end with a separator.
    const std::size_t length = std::strlen(text);
    if (length != 0 && base::last_separator(text) != length - 1 && !base::append_path(text, "\\"))
      continue;
    if (text[0] != '\0' && base::copy_path(directory, text)) return true;
  }
  directory[0] = '\0';
  return false;
}

}  // namespace removal
