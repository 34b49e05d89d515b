#include "removal/program_files.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/path_text.h"
#include "base/unique_any.h"
#include "removal/in_use.h"
#include "removal/unlinked.h"

namespace removal {

namespace {

struct InstalledFile {
  const char* name;
  bool counts;  // whether its deletion enters the step's result
};

constexpr InstalledFile installed_files[] = {
    {"Merivane.chm", false}, {"UninstallMV.doc", false}, {"pad_file.xml", false},
    {"Merivane.exe", true},  {"Setup.exe", true},
};

// The names in one directory that are left for the platform to delete at the next restart.
using Scheduled = std::vector<std::string>;

// The platform works through its list in the order of these calls at the next restart, so a
// directory scheduled after what it holds is empty by its turn.
Outcome scheduled_at_restart(Report* report, const char* kind, const char* path,
                             unsigned long error) {
  if (MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) == FALSE)
    return told(report, kind, path, Outcome::failed, GetLastError());
  return told(report, kind, path, Outcome::at_restart, error);
}

unsigned long open_for_deletion_error(const char* path) {
  const base::unique_file file(CreateFileA(path, DELETE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
  return file ? ERROR_SUCCESS : GetLastError();
}

// Whether the file whose deletion just failed with error is held by a running program.
bool held_now(const char* path, DWORD error) {
  const DWORD attributes = GetFileAttributesA(path);
  const DWORD open_error = error == ERROR_ACCESS_DENIED ? open_for_deletion_error(path) : 0;
  return held_by_a_program(error, attributes, open_error);
}

// A name taken already costs a try: left-over names of earlier runs are few.
constexpr DWORD most_aside_tries = 16;

// Renames the file at path, in its own directory, to "<path>.<8 hex digits>.removed", a name
// no installation uses, and leaves that path in moved. False, with moved empty, when the
// rename is refused, the name does not fit or no free name was found.
bool moved_aside(const char* path, char (&moved)[base::path_capacity]) {
  // Another run, or this one a moment before, may have left such a name: each try steps by
  // an odd number, so no value comes twice within the tries.
  const DWORD first = GetTickCount() ^ (GetCurrentProcessId() * 0x9E3779B1u);
  for (DWORD attempt = 0; attempt < most_aside_tries; ++attempt) {
    char suffix[sizeof ".12345678.removed"];
    std::snprintf(suffix, sizeof suffix, ".%08lx.removed",
                  static_cast<unsigned long>(first + attempt * 0x7FEB352Du));
    if (!base::join_path(moved, path, suffix)) return false;
    if (MoveFileExA(path, moved, 0) != FALSE) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
  }
  moved[0] = '\0';
  return false;
}

// Leaves a held file for the platform to delete at the next restart, under a name no
// installation uses where it can be renamed: deployment systems often install again at once
// on exit code 3010, and the restart must not delete the new file written at path. A file
// held without FILE_SHARE_DELETE refuses the rename too and is left under its own name.
Outcome left_for_restart(const char* path, const char* file_name, unsigned long error,
                         Report* report, Scheduled* scheduled) {
  char moved[base::path_capacity];
  if (!moved_aside(path, moved)) {
    const Outcome outcome = scheduled_at_restart(report, "file", path, error);
    if (outcome == Outcome::at_restart) scheduled->push_back(file_name);
    return outcome;
  }
  if (MoveFileExA(moved, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) == FALSE) {
    const DWORD schedule_error = GetLastError();
    // Under a name that nothing deletes, the file would keep the directory, and a later run
    // would find the installation without it: it goes back to its own name where it can.
    const bool back = MoveFileExA(moved, path, 0) != FALSE;
    return told(report, "file", back ? path : moved, Outcome::failed, schedule_error);
  }
  scheduled->push_back(std::string(file_name) + (moved + std::strlen(path)));
  return told(report, "file", path, Outcome::at_restart, error, moved);
}

// Deletes one file. Where a program holds it and scheduled is given, the file is left for the
// platform to delete at the next restart, and the name it is left under joins scheduled.
Outcome remove_file(const char* path, const char* file_name, Report* report, Scheduled* scheduled) {
  const DWORD error = delete_unlinked(path);
  if (error == ERROR_SUCCESS) return told(report, "file", path, Outcome::deleted, 0);
  if (error == error_link_on_the_way) return told(report, "file", path, Outcome::refused, error);
  if (scheduled == nullptr || !held_now(path, error))
    return told(report, "file", path, outcome_of_error(error), error);
  // Asking who holds it costs a session of the Restart Manager: only for a log.
  if (report != nullptr) report->in_use(path, holders_of(path).c_str());
  return left_for_restart(path, file_name, error, report, scheduled);
}

Outcome delete_file(const char* install_dir, const char* file_name, Report* report,
                    Scheduled* scheduled) {
  if (!is_directory_below_root(install_dir)) return Outcome::refused;
  char path[base::path_capacity];
  if (!base::join_path(path, install_dir, file_name)) {
    told_too_long(report, "file", install_dir, file_name);
    return Outcome::refused;
  }
  return remove_file(path, file_name, report, scheduled);
}

bool is_link(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// True when the directory holds nothing but entries of the names given (and holds something).
bool holds_only(const char* directory, const Scheduled& names) {
  if (names.empty()) return false;
  char pattern[base::path_capacity];
  if (!base::join_path(pattern, directory, "\\*")) return false;
  WIN32_FIND_DATAA found;
  const base::unique_find search(FindFirstFileA(pattern, &found));
  if (!search) return false;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    bool known = false;
    for (const std::string& scheduled : names)
      known = known || lstrcmpiA(name.c_str(), scheduled.c_str()) == 0;
    if (!known) return false;
  } while (FindNextFileA(search.get(), &found) != FALSE);
  return GetLastError() == ERROR_NO_MORE_FILES;
}

// A link is never removed: the platform would remove the directory it leads to (Wine does so
// for a symbolic link), or the system's own junction. A directory that only what is scheduled
// keeps is scheduled after it.
Outcome remove_directory(const char* kind, const char* directory, const Scheduled& scheduled,
                         Report* report) {
  if (is_link(directory)) return told(report, kind, directory, Outcome::refused, 0);
  const DWORD error = delete_unlinked(directory);
  if (error == ERROR_SUCCESS) return told(report, kind, directory, Outcome::deleted, 0);
  if (error == error_link_on_the_way || !holds_only(directory, scheduled))
    return told(report, kind, directory, outcome_of_error(error), error);
  return scheduled_at_restart(report, kind, directory, error);
}

// No directory from the drive's or share's root down to the directory is a link. The
// directory is one below a root (is_directory_below_root).
bool free_of_links(const char* directory) {
  char full[base::path_capacity];
  const DWORD length = GetFullPathNameA(directory, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return false;
  base::strip_trailing_separator(full);
  // "C:", or "\\server\share": up to the separator that follows the share's name.
  std::string root(full, 2);
  if (full[1] != ':') {
    const char* server_end = std::strpbrk(full + 2, "\\/");
    const char* share_end = server_end != nullptr ? std::strpbrk(server_end + 1, "\\/") : nullptr;
    root.assign(full, share_end != nullptr ? std::size_t(share_end - full) : 0);
  }
  return !root.empty() && no_link_below(root.c_str(), full);
}

bool removed(Outcome outcome) {
  return outcome == Outcome::deleted || outcome == Outcome::at_restart;
}

// Removes the installation directory and, where it is empty then, its parent; the removal of
// the installation directory alone enters the result. The parent of "C:\Merivane" would be
// the bare "C:", drive C's current directory: a parent that is no directory below a root is
// left.
StepResult remove_installation_directories(const char* install_dir, const Scheduled& files,
                                           Report* report) {
  char directory[base::path_capacity];
  if (!base::copy_path(directory, install_dir)) return {};
  base::strip_trailing_separator(directory);
  const Outcome outcome = remove_directory("directory", directory, files, report);
  StepResult result{removed(outcome), outcome == Outcome::at_restart};

  Scheduled scheduled_directory;
  if (const auto separator = base::last_separator(directory); separator && result.at_restart)
    scheduled_directory.push_back(directory + *separator + 1);
  if (base::cut_at_last_separator(directory) && is_directory_below_root(directory)) {
    if (remove_directory("parent", directory, scheduled_directory, report) == Outcome::at_restart)
      result.at_restart = true;
  }
  return result;
}

}  // namespace

bool held_by_a_program(unsigned long delete_error, unsigned long attributes,
                       unsigned long open_error) {
  // A read-only file and a directory are not in use; a restart would not delete them either.
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
    return false;
  if (delete_error == ERROR_SHARING_VIOLATION) return true;
  // A running program's image refuses deletion with access denied, yet opens for it; a file
  // the rights forbid does not, and is not handed to a restart that runs with more rights.
  return delete_error == ERROR_ACCESS_DENIED &&
         (open_error == ERROR_SUCCESS || open_error == ERROR_SHARING_VIOLATION);
}

bool is_directory_below_root(const char* path) {
  if (!base::names_directory_below_root(path)) return false;
  // Dot names may climb to the root: "C:\Program Files\.." is "C:\".
  char full[base::path_capacity];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  return length != 0 && length < sizeof full && base::names_directory_below_root(full);
}

bool delete_installed_file(const char* install_dir, const char* file_name) {
  return delete_file(install_dir, file_name, nullptr, nullptr) == Outcome::deleted;
}

bool remove_program_files(const char* install_dir) {
  return remove_program_files(install_dir, nullptr).done;
}

StepResult remove_program_files(const char* install_dir, Report* report) {
  // Anything else would name files and directories outside the installation: the current
  // directory's, a drive's or a share's own.
  if (!is_directory_below_root(install_dir)) {
    told(report, "install_dir", install_dir, Outcome::refused, ERROR_SUCCESS);
    return {};
  }
  // Nothing is deleted through a directory that leads elsewhere: whoever could make it a link
  // would choose what this process deletes.
  if (!free_of_links(install_dir)) {
    told(report, "install_dir", install_dir, Outcome::refused, error_link_on_the_way);
    return {};
  }
  bool counted_files_removed = true;
  bool at_restart = false;
  Scheduled scheduled;
  for (const InstalledFile& file : installed_files) {
    const Outcome outcome = delete_file(install_dir, file.name, report, &scheduled);
    if (file.counts) counted_files_removed = counted_files_removed && removed(outcome);
    at_restart = at_restart || outcome == Outcome::at_restart;
  }
  const StepResult directories = remove_installation_directories(install_dir, scheduled, report);
  return {counted_files_removed && directories.done, at_restart || directories.at_restart};
}

}  // namespace removal
