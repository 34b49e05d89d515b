#include "testbed/machine/profiles.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "base/unique_any.h"
#include "testbed/machine/installation.h"

namespace testbed {

namespace {

[[noreturn]] void fail(const std::string& what, DWORD error) {
  throw std::runtime_error(what + " (error " + std::to_string(error) + ")");
}

// Wine reads the file's strings as UTF-16 code units; anything but printable ASCII goes in as
// an escape, four digits always, so that a hex digit after it cannot be taken into it.
std::string quoted(const std::string& text, const char* delimiters) {
  std::wstring wide;
  if (!text.empty()) {
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) fail("not an ANSI text: " + text, GetLastError());
    wide.resize(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), length);
  }
  std::string result;
  for (const wchar_t c : wide) {
    if (c == L'\\' ||
        (c < 0x80 && std::string(delimiters).find(static_cast<char>(c)) != std::string::npos)) {
      result += '\\';
      result += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7E) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%04x", static_cast<unsigned>(c));
      result += escape;
    } else {
      result += static_cast<char>(c);
    }
  }
  return result;
}

std::string value_line(const HiveValue& value) {
  std::string line = value.name.empty() ? "@=" : "\"" + quoted(value.name, "\"") + "\"=";
  switch (value.type) {
    case REG_SZ:
      return line + "\"" + quoted(value.data, "\"") + "\"";
    case REG_EXPAND_SZ:
      return line + "str(2):\"" + quoted(value.data, "\"") + "\"";
    case REG_DWORD: {
      char number[16];
      std::snprintf(number, sizeof number, "%08lx", std::stoul(value.data, nullptr, 0));
      return line + "dword:" + number;
    }
    default:
      fail("no hive text for value type " + std::to_string(value.type) + " of " + value.name, 0);
  }
}

// The loading and unloading of hives asks for both privileges, which Wine grants every token
// but leaves disabled.
void enable_hive_privileges() {
  base::unique_handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()))
    fail("cannot open this process's token", GetLastError());
  for (const char* privilege : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA(nullptr, privilege, &wanted.Privileges[0].Luid))
      fail(std::string("no privilege ") + privilege, GetLastError());
    // AdjustTokenPrivileges succeeds without granting what the token lacks; its last error
    // says so.
    if (!AdjustTokenPrivileges(token.get(), FALSE, &wanted, 0, nullptr, nullptr) ||
        GetLastError() != ERROR_SUCCESS)
      fail(std::string("cannot enable ") + privilege, GetLastError());
  }
}

std::string expanded(const std::string& text) {
  char result[MAX_PATH];
  const DWORD length = ExpandEnvironmentStringsA(text.c_str(), result, sizeof result);
  if (length == 0 || length > sizeof result) fail("cannot expand " + text, GetLastError());
  return result;
}

void remove_empty_parents(std::string path) {
  for (std::size_t cut; (cut = path.find_last_of('\\')) != std::string::npos && cut > 2;) {
    path.resize(cut);
    if (!RemoveDirectoryA(path.c_str())) break;
  }
}

}  // namespace

std::string wine_hive_text(const std::vector<HiveValue>& values) {
  std::vector<std::string> keys;
  for (const HiveValue& value : values)
    if (std::find(keys.begin(), keys.end(), value.key) == keys.end()) keys.push_back(value.key);
  std::string text = "WINE REGISTRY Version 2\n";
  for (const std::string& key : keys) {
    text += "\n[" + quoted(key, "[]") + "]\n";
    for (const HiveValue& value : values)
      if (value.key == key) text += value_line(value) + "\n";
  }
  return text;
}

std::string UserProfile::directory() const { return expanded(image_path); }
std::string UserProfile::hive_file() const { return directory() + "\\NTUSER.DAT"; }
std::string UserProfile::shortcut() const { return directory() + "\\Desktop\\" + shortcut_name; }
bool UserProfile::is_person() const { return sid.rfind("S-1-5-21-", 0) == 0; }

UserProfile person_profile(const std::string& name, const std::string& sid) {
  return UserProfile{sid, "%SystemDrive%\\users\\" + name};
}

UserProfile service_profile(const std::string& name, const std::string& sid) {
  return UserProfile{sid, "%SystemRoot%\\ServiceProfiles\\" + name};
}

std::vector<UserProfile> system_profiles() {
  return {UserProfile{"S-1-5-18", "%SystemRoot%\\system32\\config\\systemprofile"},
          UserProfile{"S-1-5-19", "%SystemRoot%\\ServiceProfiles\\LocalService"},
          UserProfile{"S-1-5-20", "%SystemRoot%\\ServiceProfiles\\NetworkService"}};
}

std::vector<HiveValue> profile_hive_values() {
  const std::vector<std::string> names = settings_value_names();
  return {{user_shell_folders_key, "Desktop", REG_EXPAND_SZ, "%USERPROFILE%\\Desktop"},
          {settings_key, names.at(0), REG_SZ, "1"},
          {settings_key, names.at(1), REG_SZ, "0"}};
}

std::vector<UserProfile> listed_profiles() {
  std::vector<UserProfile> profiles;
  base::unique_hkey list;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, profile_list_key, 0, KEY_READ | KEY_WOW64_64KEY,
                    list.put()) != ERROR_SUCCESS)
    return profiles;
  const std::vector<std::string> hives = loaded_hives();
  char sid[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof sid;
    if (RegEnumKeyExA(list.get(), index, sid, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    UserProfile profile;
    profile.sid.assign(sid, length);
    char path[MAX_PATH] = "";
    DWORD size = sizeof path;
    if (RegGetValueA(list.get(), profile.sid.c_str(), "ProfileImagePath",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, path,
                     &size) == ERROR_SUCCESS)
      profile.image_path = path;
    profile.folder = !profile.image_path.empty() && directory_exists(profile.directory());
    profile.hive = profile.folder && file_exists(profile.hive_file());
    profile.loaded = std::find(hives.begin(), hives.end(), profile.sid) != hives.end();
    profiles.push_back(profile);
  }
  std::sort(profiles.begin(), profiles.end(),
            [](const UserProfile& a, const UserProfile& b) { return a.sid < b.sid; });
  return profiles;
}

void lay_profile(const UserProfile& profile) {
  if (profile.loaded && !(profile.folder && profile.hive))
    throw std::invalid_argument("a loaded hive needs its file: " + profile.sid);
  remove_profile(profile);
  const std::string entry = std::string(profile_list_key) + "\\" + profile.sid;
  set_string_value(HKEY_LOCAL_MACHINE, entry, "ProfileImagePath", profile.image_path,
                   KEY_WOW64_64KEY, REG_EXPAND_SZ);
  if (!profile.folder) return;
  make_directories(profile.directory() + "\\Desktop");
  write_file(profile.shortcut(), "[InternetShortcut]");
  if (!profile.hive) return;
  write_file(profile.hive_file(), wine_hive_text(profile_hive_values()));
  if (profile.loaded) load_hive(profile.sid, profile.hive_file());
}

void remove_profile(const UserProfile& profile) {
  if (profile.sid == wine_user_sid) throw std::invalid_argument("Wine's own user is not a fixture");
  delete_key_tree(HKEY_LOCAL_MACHINE, std::string(profile_list_key) + "\\" + profile.sid,
                  KEY_WOW64_64KEY);
  const std::vector<std::string> hives = loaded_hives();
  if (std::find(hives.begin(), hives.end(), profile.sid) != hives.end()) {
    const LONG status = unload_hive(profile.sid);
    if (status != ERROR_SUCCESS) fail("cannot unload HKEY_USERS\\" + profile.sid, status);
  }
  const std::string directory = profile.directory();
  remove_tree(directory);
  remove_empty_parents(directory);
}

void load_hive(const std::string& name, const std::string& file) {
  enable_hive_privileges();
  const LONG status = RegLoadKeyA(HKEY_USERS, name.c_str(), file.c_str());
  if (status != ERROR_SUCCESS) fail("cannot load " + file + " as HKEY_USERS\\" + name, status);
}

LONG unload_hive(const std::string& name) {
  enable_hive_privileges();
  return RegUnLoadKeyA(HKEY_USERS, name.c_str());
}

std::vector<std::string> loaded_hives() {
  std::vector<std::string> names;
  char name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    const LONG status =
        RegEnumKeyExA(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) fail("cannot list HKEY_USERS", status);
    names.emplace_back(name, length);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool user_key_exists(const std::string& name, const std::string& key) {
  return key_exists(HKEY_USERS, name + "\\" + key);
}

bool profile_shortcut_exists(const UserProfile& profile) { return file_exists(profile.shortcut()); }

}  // namespace testbed
