#include "removal/shortcuts.h"

#include <shlobj.h>

#include "app/path_text.h"
#include "app/unique_any.h"

namespace removal {

static_assert(sizeof(OSVERSIONINFOA) == 148);

namespace {

constexpr char shortcut_name[] = "\\Merivane.lnk";

// An item id list, freed through the allocator that the shell handed out.
class IdList {
 public:
  IdList(IMalloc* allocator, LPITEMIDLIST ids) : allocator_(allocator), ids_(ids) {}
  IdList(const IdList&) = delete;
  IdList& operator=(const IdList&) = delete;
  ~IdList() {
    if (ids_ != nullptr) allocator_->Free(ids_);
  }
  LPCITEMIDLIST get() const { return ids_; }

 private:
  IMalloc* allocator_;
  LPITEMIDLIST ids_;
};

enum class Deletion { deleted, missing, failed };

// Deletes the shortcut in the folder whose path the buffer holds. A path that cannot take the
// shortcut's name whole is not acted on: it counts as failed, as whether a shortcut is there
// cannot be told.
Deletion delete_shortcut_in(char (&folder)[app::path_capacity]) {
  if (!app::append_path(folder, shortcut_name)) return Deletion::failed;
  if (DeleteFileA(folder)) return Deletion::deleted;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Deletion::missing
                                                                         : Deletion::failed;
}

}  // namespace

bool special_folder_path(HWND owner, char (&path)[app::path_capacity], int folder) {
  app::unique_com<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.put()))) return false;
  LPITEMIDLIST ids = nullptr;
  if (SHGetSpecialFolderLocation(owner, folder, &ids) != S_OK) return false;
  // Declared after the allocator, so the list is freed before the allocator is released.
  const IdList list(allocator.get(), ids);
  return SHGetPathFromIDListA(list.get(), path) != FALSE;
}

bool is_nt_platform() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  return (version.dwPlatformId & 2) != 0;
}

bool remove_shortcuts() {
  char path[app::path_capacity];
  // The desktop's shortcut may be missing; one that is there must go.
  bool desktop_left = false;
  if (special_folder_path(nullptr, path, CSIDL_DESKTOPDIRECTORY))
    desktop_left = delete_shortcut_in(path) == Deletion::failed;

  const int programs = is_nt_platform() ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS;
  if (!special_folder_path(nullptr, path, programs)) return false;
  return delete_shortcut_in(path) == Deletion::deleted && !desktop_left;
}

}  // namespace removal
