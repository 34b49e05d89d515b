#pragma once
// Other users' profiles on the machine, for fleet removals: the ProfileList entry, the profile
// folder with the desktop shortcut, and the user's hive, NTUSER.DAT, left on disk as a user
// who is not logged on leaves it or loaded under HKEY_USERS as a logged-on user's is.
//
// Under Wine, RegLoadKeyA loads only hives in Wine's own text format (the format of a prefix's
// user.reg), a loaded hive stays loaded after the loading process ends, and RegUnLoadKeyA
// never writes the hive back: what a program deleted in a hive it loaded itself shows in its
// log only, while a hive the fixture loaded shows it under HKEY_USERS.

#include <windows.h>

#include <string>
#include <vector>

namespace testbed {

inline constexpr char profile_list_key[] =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
inline constexpr char user_shell_folders_key[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
// Wine's one user, whose hive is HKEY_CURRENT_USER.
inline constexpr char wine_user_sid[] = "S-1-5-21-0-0-0-1000";

// One value of a hive in Wine's text format: REG_SZ, REG_EXPAND_SZ or REG_DWORD (data as
// decimal text for a DWORD).
struct HiveValue {
  std::string key;   // below the hive's root, "Software\..."
  std::string name;  // empty: the key's default value
  DWORD type = REG_SZ;
  std::string data;
};

// The hive file's text: "WINE REGISTRY Version 2", then each key in brackets with its values,
// names and strings in double quotes with \\ and \" escaped, and any other character below
// 0x20 or above 0x7E as \xHHHH; REG_EXPAND_SZ as str(2):"...", REG_DWORD as dword:HHHHHHHH.
// Throws for another type or a string that is not valid in the ANSI code page.
std::string wine_hive_text(const std::vector<HiveValue>& values);

struct UserProfile {
  std::string sid;
  std::string image_path;  // ProfileImagePath as written, REG_EXPAND_SZ ("%SystemDrive%\...")
  bool folder = true;      // the profile folder, with Desktop\Merivane.lnk
  bool hive = true;        // NTUSER.DAT in the folder
  bool loaded = false;     // the hive loaded now under HKEY_USERS\<sid>, as a logged-on user's

  std::string directory() const;  // image_path expanded here, no trailing backslash
  std::string hive_file() const;
  std::string shortcut() const;  // <directory>\Desktop\Merivane.lnk
  bool is_person() const;        // S-1-5-21-...: not the system, a service or a virtual account
};

// A person's profile C:\users\<name>, written %SystemDrive%\users\<name>.
UserProfile person_profile(const std::string& name, const std::string& sid);
// A virtual service account's profile (S-1-5-80-...) under %SystemRoot%\ServiceProfiles.
UserProfile service_profile(const std::string& name, const std::string& sid);
// The system's, the local service's and the network service's (S-1-5-18, -19, -20), as every
// Windows machine's ProfileList holds them and Wine's does not.
std::vector<UserProfile> system_profiles();

// The values every laid hive holds: the user's settings key with two values, and the desktop
// folder as %USERPROFILE%\Desktop.
std::vector<HiveValue> profile_hive_values();

// The entries of ProfileList, sorted by SID: the SID and ProfileImagePath as written, and
// whether the folder, the hive file and the loaded hive are there now.
std::vector<UserProfile> listed_profiles();

// Lays the profile (its ProfileList entry always, the rest as its fields ask), after removing
// whatever of an earlier one was there. Throws on failure.
void lay_profile(const UserProfile& profile);
// Removes all that lay_profile laid, the loaded hive unloaded; no error for what is missing.
void remove_profile(const UserProfile& profile);

// HKEY_USERS: a hive loaded under name from file, and unloaded again. Both enable the backup
// and restore privileges of this process's token first, which Wine grants. load_hive throws;
// unload_hive answers the Win32 error.
void load_hive(const std::string& name, const std::string& file);
LONG unload_hive(const std::string& name);

// The subkeys of HKEY_USERS, sorted: the loaded hives.
std::vector<std::string> loaded_hives();
// Whether key ("Software\...") exists in the hive loaded under HKEY_USERS\<name>.
bool user_key_exists(const std::string& name, const std::string& key);
bool profile_shortcut_exists(const UserProfile& profile);

}  // namespace testbed
