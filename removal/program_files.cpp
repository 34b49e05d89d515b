#include "removal/program_files.h"

#include <windows.h>

#include "base/path_text.h"

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

bool delete_file(const char* install_dir, const char* file_name, Report* report) {
  if (!is_directory_below_root(install_dir)) return false;
  char path[base::path_capacity];
  if (!base::join_path(path, install_dir, file_name)) {
    told_too_long(report, "file", install_dir, file_name);
    return false;
  }
  return told_deletion(report, "file", path, DeleteFileA(path) != FALSE) == Outcome::deleted;
}

// Removes the installation directory and, where it is empty then, its parent; reports the
// removal of the installation directory only. The parent of "C:\Merivane" would be the bare
// "C:", drive C's current directory: a parent that is no directory below a root is left.
bool remove_installation_directories(const char* install_dir, Report* report) {
  char directory[base::path_capacity];
  if (!base::copy_path(directory, install_dir)) return false;
  base::strip_trailing_separator(directory);
  const bool removed = told_deletion(report, "directory", directory,
                                     RemoveDirectoryA(directory) != FALSE) == Outcome::deleted;
  if (base::cut_at_last_separator(directory) && is_directory_below_root(directory))
    told_deletion(report, "parent", directory, RemoveDirectoryA(directory) != FALSE);
  return removed;
}

}  // namespace

bool is_directory_below_root(const char* path) {
  if (!base::names_directory_below_root(path)) return false;
  // Dot names may climb to the root: "C:\Program Files\.." is "C:\".
  char full[base::path_capacity];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  return length != 0 && length < sizeof full && base::names_directory_below_root(full);
}

bool delete_installed_file(const char* install_dir, const char* file_name) {
  return delete_file(install_dir, file_name, nullptr);
}

bool remove_program_files(const char* install_dir) {
  return remove_program_files(install_dir, nullptr);
}

bool remove_program_files(const char* install_dir, Report* report) {
  // Anything else would name files and directories outside the installation: the current
  // directory's, a drive's or a share's own.
  if (!is_directory_below_root(install_dir)) {
    if (report != nullptr)
      report->removed(
          {"install_dir", install_dir, nullptr, nullptr, Outcome::refused, ERROR_SUCCESS});
    return false;
  }
  bool counted_files_deleted = true;
  for (const InstalledFile& file : installed_files) {
    const bool deleted = delete_file(install_dir, file.name, report);
    if (file.counts) counted_files_deleted = counted_files_deleted && deleted;
  }
  const bool directory_removed = remove_installation_directories(install_dir, report);
  return counted_files_deleted && directory_removed;
}

}  // namespace removal
