#include "removal/shortcuts.h"

#include <shlobj.h>

#include "base/path_text.h"
#include "base/unique_any.h"

namespace removal {

static_assert(sizeof(OSVERSIONINFOA) == 148);

namespace {

// An item id list, freed through the shell's allocator.
struct IdListTraits {
  using type = LPITEMIDLIST;
  static type empty() { return nullptr; }
  static void close(type ids) {
    base::unique_com<IMalloc> allocator;
    if (SUCCEEDED(SHGetMalloc(allocator.put()))) allocator.get()->Free(ids);
  }
};
using unique_id_list = base::unique_any<IdListTraits>;

// Deletes the shortcut in the folder whose path the buffer holds. A path that cannot take the
// shortcut's name whole is not acted on: it counts as failed, as whether a shortcut is there
// cannot be told.
Outcome delete_shortcut_in(char (&folder)[base::path_capacity], Report* report) {
  if (!base::append_path(folder, shortcut_name)) {
    told_too_long(report, "shortcut", folder, shortcut_name);
    return Outcome::refused;
  }
  return told_deletion(report, "shortcut", folder, DeleteFileA(folder) != FALSE);
}

bool folder_found(bool found, const char* which, Report* report) {
  if (!found && report != nullptr)
    report->removed({"shortcut_folder", which, nullptr, nullptr, Outcome::failed, 0});
  return found;
}

}  // namespace

bool special_folder_path(HWND owner, char (&path)[base::path_capacity], int folder) {
  base::unique_com<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.put()))) return false;
  // Declared after the allocator, so the list is freed before the allocator is released.
  unique_id_list ids;
  if (SHGetSpecialFolderLocation(owner, folder, ids.put()) != S_OK) return false;
  return SHGetPathFromIDListA(ids.get(), path) != FALSE;
}

bool is_nt_platform() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  return (version.dwPlatformId & 2) != 0;
}

bool remove_shortcuts() { return remove_shortcuts(nullptr); }

bool remove_shortcuts(Report* report) {
  const bool desktop = remove_desktop_shortcut(report);
  return remove_programs_shortcut(report) && desktop;
}

bool remove_desktop_shortcut(Report* report) {
  char path[base::path_capacity];
  // The desktop's shortcut may be missing; one that is there must go.
  if (!folder_found(special_folder_path(nullptr, path, CSIDL_DESKTOPDIRECTORY), "desktop", report))
    return true;
  const Outcome desktop = delete_shortcut_in(path, report);
  return desktop == Outcome::deleted || desktop == Outcome::not_found;
}

bool remove_programs_shortcut(Report* report) {
  char path[base::path_capacity];
  const int programs = is_nt_platform() ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS;
  if (!folder_found(special_folder_path(nullptr, path, programs), "programs", report)) return false;
  return delete_shortcut_in(path, report) == Outcome::deleted;
}

}  // namespace removal
