#pragma once
// The other users of the machine, reached through their profiles: each person's settings key in
// that person's own hive and the shortcut on that person's desktop, for a removal that is done
// for every user at once.

#include <string>
#include <vector>

#include "removal/report.h"

namespace removal {

struct UserProfile {
  std::string sid;     // as text, "S-1-5-21-..."
  std::string folder;  // the profile's folder, expanded, without a trailing separator
  bool folder_exists = true;  // one that does not is listed, and nothing is done for it
};

// A person's account: a local or domain user (S-1-5-21-...) or a cloud one (S-1-12-1-...);
// not the system's own accounts (S-1-5-18, -19, -20) nor services (S-1-5-80-...).
bool is_person_sid(const char* sid);

// The profiles of people that the machine lists, with whether their folders exist.
std::vector<UserProfile> person_profiles();

enum class HiveReach {
  loaded,       // the user is logged on: the platform has it under HKEY_USERS
  loaded_now,   // the profile's NTUSER.DAT, loaded for the moment and unloaded again
  unavailable,  // neither (in use elsewhere, missing, roaming, a container): left to the logon
};

struct ProfileOutcome {
  HiveReach hive = HiveReach::unavailable;
  unsigned long hive_error = 0;         // why it could not be loaded
  unsigned long hive_unload_error = 0;  // why the hive loaded for the moment stayed loaded
  bool settings_removed = false;
  bool shortcut_removed = false;  // none is left on that user's desktop
  // Left to the user's own part at logon, as a key or directory on the way is a link.
  bool settings_link = false;
  bool shortcut_link = false;
  std::string desktop;  // the desktop folder acted on; empty when none was
};

// Deletes the settings key with its empty parents in the user's hive, and the shortcut from
// the user's desktop folder (the hive's own word for it with %USERPROFILE% for the profile's
// folder, else the profile's Desktop), never outside the profile's folder. The caller has more
// rights than the user: no key or directory that the user may have made a link is followed,
// from the hive's root and from the profile's folder down.
ProfileOutcome remove_from_profile(const UserProfile& profile, Report* report);

}  // namespace removal
