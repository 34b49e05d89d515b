#pragma once

#include <windows.h>

#include "base/path_text.h"
#include "removal/report.h"

namespace removal {

// Deletes "Merivane.lnk" from the user's desktop and from the Programs menu (all users' on
// the NT family, the user's own elsewhere). True when the Programs menu's shortcut was deleted
// and no desktop shortcut is left behind (a missing one is no failure).
bool remove_shortcuts();
// The same, telling the report of every shortcut it acts on.
bool remove_shortcuts(Report* report);
// Its two halves: the user's desktop shortcut (true when none is left), and the Programs
// menu's (true when it was deleted).
bool remove_desktop_shortcut(Report* report);
bool remove_programs_shortcut(Report* report);
// The shortcut's name, as joined to a folder's path.
inline constexpr char shortcut_name[] = "\\Merivane.lnk";

// Writes the file-system path of a special folder (a CSIDL value) into path.
bool special_folder_path(HWND owner, char (&path)[base::path_capacity], int folder);

// True on the NT family: the platform identifier has the bit of value 2.
bool is_nt_platform();

}  // namespace removal
