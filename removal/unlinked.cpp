#include "removal/unlinked.h"

#include <windows.h>

#include <cstring>

#include "base/code_page.h"
#include "base/path_text.h"
#include "base/unique_any.h"

namespace removal {

namespace {

// A directory that is not there cannot lead anywhere; one that cannot be read might.
bool leads_nowhere_else(const char* directory) {
  const DWORD attributes = GetFileAttributesA(directory);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The path the handle names, as a whole path without the "\\?\" of the platform's answer.
bool final_path(HANDLE handle, char (&path)[base::path_capacity]) {
  char named[base::path_capacity + 8];
  const DWORD length = GetFinalPathNameByHandleA(handle, named, sizeof named,
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= sizeof named) return false;
  if (std::strncmp(named, "\\\\?\\UNC\\", 8) == 0) return base::join_path(path, "\\\\", named + 8);
  if (std::strncmp(named, "\\\\?\\", 4) == 0) return base::copy_path(path, named + 4);
  return base::copy_path(path, named);
}

// The path as the platform would name an existing file by it: whole, dot names resolved and
// short names made long, without a trailing separator.
bool long_path(const char* path, char (&whole)[base::path_capacity]) {
  char full[base::path_capacity];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return false;
  const DWORD long_length = GetLongPathNameA(full, whole, sizeof whole);
  if (long_length == 0 || long_length >= sizeof whole) return false;
  base::strip_trailing_separator(whole);
  return true;
}

}  // namespace

bool no_link_below(const char* from, const char* path) {
  char walked[base::path_capacity];
  const std::size_t start = std::strlen(from);
  if (!base::copy_path(walked, path) || !base::starts_with_name(walked, from) ||
      (walked[start] != '\\' && walked[start] != '/'))
    return false;
  // Every directory below from, each ended at its separator in turn, then path itself.
  for (std::size_t at = start + 1;; ++at) {
    const char kept = walked[at];
    if (kept != '\0' && kept != '\\' && kept != '/') continue;
    walked[at] = '\0';
    const bool plain = leads_nowhere_else(walked);
    walked[at] = kept;
    if (!plain) return false;
    if (kept == '\0') return true;
  }
}

unsigned long delete_unlinked(const char* path) {
  char meant[base::path_capacity];
  if (!long_path(path, meant)) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_FILENAME_EXCED_RANGE;
  }
  const base::unique_file file(CreateFileA(
      path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return GetLastError();
  char named[base::path_capacity];
  if (!final_path(file.get(), named) || !base::same_name(named, meant)) return error_link_on_the_way;
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                 sizeof disposition) == FALSE)
    return GetLastError();
  return ERROR_SUCCESS;
}

}  // namespace removal
