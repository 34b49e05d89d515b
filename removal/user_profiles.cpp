#include "removal/user_profiles.h"

#include <windows.h>

#include <cstring>

#include "base/code_page.h"
#include "base/path_text.h"
#include "base/registry.h"
#include "base/unique_any.h"
#include "removal/registry_entries.h"
#include "removal/shortcuts.h"
#include "removal/unlinked.h"

namespace removal {

namespace {

constexpr char profile_list_key[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char shell_folders_key[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr char profile_variable[] = "%USERPROFILE%";
// A SID's text is at most about 190 characters; a value read for a path, a path.
constexpr DWORD sid_text_capacity = 256;

bool is_directory(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A string value whole, unexpanded; false when it is none or does not fit.
bool read_text(HKEY key, const char* name, char (&text)[base::path_capacity], DWORD& type) {
  DWORD size = sizeof text - 1;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  text[size] = '\0';
  return true;
}

bool enable_privilege(HANDLE token, const char* name) {
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) == FALSE) return false;
  return AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != FALSE &&
         GetLastError() == ERROR_SUCCESS;
}

// Loading and unloading another user's hive takes the backup and restore privileges, which an
// administrator's token holds but has not enabled.
bool enable_hive_privileges() {
  base::unique_handle token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()) ==
      FALSE)
    return false;
  return enable_privilege(token.get(), SE_BACKUP_NAME) &&
         enable_privilege(token.get(), SE_RESTORE_NAME);
}

// A user's hive, open at its root: the platform's own where the user is logged on, else the
// profile's file loaded under a name of the program's own for as long as this lives. Every
// key opened into it must be closed before it goes.
class UserHive {
 public:
  UserHive(const UserProfile& profile, ProfileOutcome& outcome) : outcome_(outcome) {
    if (base::open_registry_key(HKEY_USERS, profile.sid.c_str(), KEY_ALL_ACCESS, root_) ==
        ERROR_SUCCESS) {
      outcome.hive = HiveReach::loaded;
      return;
    }
    char file[base::path_capacity];
    if (!base::join_path(file, profile.folder.c_str(), "\\NTUSER.DAT")) {
      outcome.hive_error = ERROR_FILENAME_EXCED_RANGE;
      return;
    }
    name_ = "Merivane.Removal." + profile.sid;
    if (!enable_hive_privileges()) {
      outcome.hive_error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_PRIVILEGE_NOT_HELD;
      return;
    }
    const LONG loaded = RegLoadKeyA(HKEY_USERS, name_.c_str(), file);
    if (loaded != ERROR_SUCCESS) {
      outcome.hive_error = static_cast<unsigned long>(loaded);
      name_.clear();
      return;
    }
    const LONG opened = base::open_registry_key(HKEY_USERS, name_.c_str(), KEY_ALL_ACCESS, root_);
    if (opened != ERROR_SUCCESS) {
      outcome.hive_error = static_cast<unsigned long>(opened);
      return;
    }
    outcome.hive = HiveReach::loaded_now;
  }
  // A hive left loaded would keep its user from logging on with the profile: another process
  // that has a key of it open for a moment is waited for, a few times.
  ~UserHive() {
    root_.reset();
    if (name_.empty()) return;
    for (int attempt = 1;; ++attempt) {
      const LONG unloaded = RegUnLoadKeyA(HKEY_USERS, name_.c_str());
      if (unloaded == ERROR_SUCCESS) return;
      if (attempt == unload_attempts) {
        outcome_.hive_unload_error = static_cast<unsigned long>(unloaded);
        return;
      }
      Sleep(unload_pause_ms);
    }
  }
  UserHive(const UserHive&) = delete;
  UserHive& operator=(const UserHive&) = delete;

  HKEY root() const { return root_.get(); }

 private:
  static constexpr int unload_attempts = 5;
  static constexpr DWORD unload_pause_ms = 200;

  ProfileOutcome& outcome_;
  base::unique_hkey root_;
  std::string name_;  // what it was loaded as; empty: not loaded by this
};

// The user's desktop folder as the hive names it, with the profile's folder for
// %USERPROFILE%; the profile's Desktop where the hive names none this can tell. Empty where
// the result would lie outside the profile's folder, or does not fit.
std::string desktop_of(const UserProfile& profile, HKEY hive) {
  char named[base::path_capacity] = {};
  DWORD type = REG_NONE;
  base::unique_hkey folders;
  std::string desktop;
  if (hive != nullptr &&
      base::open_registry_key(hive, shell_folders_key, KEY_QUERY_VALUE, folders) == ERROR_SUCCESS &&
      read_text(folders.get(), "Desktop", named, type) &&
      std::strchr(named + (base::starts_with_name(named, profile_variable)
                               ? sizeof profile_variable - 1
                               : 0),
                  '%') == nullptr) {
    desktop = base::starts_with_name(named, profile_variable)
                  ? profile.folder + (named + sizeof profile_variable - 1)
                  : std::string(named);
  } else {
    desktop = profile.folder + "\\Desktop";
  }
  char full[base::path_capacity];
  const DWORD length = GetFullPathNameA(desktop.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return {};
  const std::string inside = profile.folder + "\\";
  if (!base::starts_with_name(full, inside.c_str())) return {};
  return full;
}

}  // namespace

bool is_person_sid(const char* sid) {
  return std::strncmp(sid, "S-1-5-21-", 9) == 0 || std::strncmp(sid, "S-1-12-1-", 9) == 0;
}

std::vector<UserProfile> person_profiles() {
  std::vector<UserProfile> profiles;
  base::unique_hkey list;
  if (base::open_registry_key(HKEY_LOCAL_MACHINE, profile_list_key,
                              KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                              list) != ERROR_SUCCESS)
    return profiles;
  char sid[sid_text_capacity];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof sid;
    const LONG listed =
        RegEnumKeyExA(list.get(), index, sid, &length, nullptr, nullptr, nullptr, nullptr);
    if (listed == ERROR_NO_MORE_ITEMS) break;
    if (listed != ERROR_SUCCESS || !is_person_sid(sid)) continue;
    base::unique_hkey entry;
    char named[base::path_capacity];
    char folder[base::path_capacity];
    DWORD type = REG_NONE;
    if (base::open_registry_key(list.get(), sid, KEY_QUERY_VALUE, entry) != ERROR_SUCCESS ||
        !read_text(entry.get(), "ProfileImagePath", named, type))
      continue;
    const DWORD expanded = ExpandEnvironmentStringsA(named, folder, sizeof folder);
    if (expanded == 0 || expanded > sizeof folder) continue;
    base::strip_trailing_separator(folder);
    profiles.push_back({sid, folder, base::names_directory_below_root(folder) && is_directory(folder)});
  }
  return profiles;
}

ProfileOutcome remove_from_profile(const UserProfile& profile, Report* report) {
  ProfileOutcome outcome;
  const std::string hive_name = "HKU\\" + profile.sid;
  {
    const UserHive hive(profile, outcome);
    if (hive.root() != nullptr) {
      const SettingsRemoval settings =
          remove_user_settings_unlinked(hive.root(), hive_name.c_str(), report);
      outcome.settings_removed = settings == SettingsRemoval::removed;
      outcome.settings_link = settings == SettingsRemoval::link;
    }
    outcome.desktop = desktop_of(profile, hive.root());
  }
  if (outcome.desktop.empty()) {
    told(report, "shortcut_folder", (profile.folder + "\\Desktop").c_str(), Outcome::refused, 0);
    return outcome;
  }
  // From the folder that holds the profile: the profile's own folder may not be a link either.
  char holder[base::path_capacity];
  char shortcut[base::path_capacity];
  if (!base::copy_path(holder, profile.folder.c_str()) || !base::cut_at_last_separator(holder) ||
      !base::join_path(shortcut, outcome.desktop.c_str(), shortcut_name)) {
    told(report, "shortcut_folder", outcome.desktop.c_str(), Outcome::refused, 0);
    return outcome;
  }
  const DWORD error = no_link_below(holder, outcome.desktop.c_str())
                          ? delete_unlinked(shortcut)
                          : error_link_on_the_way;
  outcome.shortcut_link = error == error_link_on_the_way;
  const Outcome deleted = told(report, "shortcut", shortcut,
                               outcome.shortcut_link    ? Outcome::refused
                               : error == ERROR_SUCCESS ? Outcome::deleted
                                                        : outcome_of_error(error),
                               error);
  outcome.shortcut_removed = deleted == Outcome::deleted || deleted == Outcome::not_found;
  return outcome;
}

}  // namespace removal
