#include "fleet/lasting_copy.h"

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include "base/code_page.h"
#include "base/own_directory.h"
#include "base/path_text.h"
#include "base/unique_any.h"
#include "parts/elevation.h"

namespace app {

namespace {

constexpr char folder_name[] = "\\Quillaburst";
constexpr char program_name[] = "\\UninstallMV.exe";
constexpr char trusted_installer[] =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// What lets a holder change a file or folder, or what a folder holds.
constexpr ACCESS_MASK changing_rights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                        DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                        GENERIC_ALL;

bool is_trusted(PSID sid, const std::string& own) {
  if (IsWellKnownSid(sid, WinLocalSystemSid) != FALSE ||
      IsWellKnownSid(sid, WinBuiltinAdministratorsSid) != FALSE ||
      IsWellKnownSid(sid, WinCreatorOwnerSid) != FALSE)
    return true;
  const std::string text = sid_text(sid);
  return !text.empty() && (text == trusted_installer || text == own);
}

}  // namespace

bool writable_by_others(const char* path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return true;
  const base::unique_local owned(descriptor);
  const std::string own = own_user_sid_text();
  // No list at all lets everyone in; an owner may rewrite the list.
  if (dacl == nullptr || owner == nullptr || !is_trusted(owner, own)) return true;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    ACE_HEADER* header = nullptr;
    if (GetAce(dacl, index, reinterpret_cast<void**>(&header)) == FALSE) return true;
    // What is only inherited by what the folder will hold does not apply to the folder.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
      continue;
    const auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    if ((allowed->Mask & changing_rights) != 0 &&
        !is_trusted(const_cast<DWORD*>(&allowed->SidStart), own))
      return true;
  }
  return false;
}

LastingCopy place_lasting_copy() {
  LastingCopy copy;
  char folder[base::path_capacity];
  char program[base::path_capacity];
  char own[base::path_capacity];
  if (SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, SHGFP_TYPE_CURRENT, folder) !=
          S_OK ||
      !base::append_path(folder, folder_name) || !base::join_path(program, folder, program_name) ||
      !base::own_program_path(own)) {
    copy.reason = "no_folder";
    return copy;
  }
  // A folder users may write is no place for what every user's logon runs; nothing is put
  // there.
  CreateDirectoryA(folder, nullptr);
  if (writable_by_others(folder)) {
    copy.reason = "folder_writable";
    return copy;
  }
  char own_full[base::path_capacity];
  const DWORD length = GetLongPathNameA(own, own_full, sizeof own_full);
  if (length == 0 || length >= sizeof own_full || !base::same_name(own_full, program)) {
    // Written beside under a name of its own, then put in place whole.
    char placed[base::path_capacity];
    if (!base::join_path(placed, program, ".new") || CopyFileA(own, placed, FALSE) == FALSE ||
        MoveFileExA(placed, program, MOVEFILE_REPLACE_EXISTING) == FALSE) {
      copy.error = GetLastError();
      DeleteFileA(placed);
      copy.reason = "copy_failed";
      return copy;
    }
  }
  if (writable_by_others(program)) {
    copy.reason = "folder_writable";
    return copy;
  }
  copy.program = program;
  return copy;
}

}  // namespace app
