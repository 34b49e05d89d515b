#include "removal/program_files.h"

#include <windows.h>

#include "app/path_text.h"

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

// Removes the installation directory and, where it is empty then, its parent; reports the
// removal of the installation directory only. The parent of "C:\Merivane" would be the bare
// "C:", drive C's current directory: a parent that is no directory below a root is left.
bool remove_installation_directories(const char* install_dir) {
  char directory[app::path_capacity];
  if (!app::copy_path(directory, install_dir)) return false;
  app::strip_trailing_separator(directory);
  const bool removed = RemoveDirectoryA(directory) != FALSE;
  if (app::cut_at_last_separator(directory) && is_directory_below_root(directory))
    RemoveDirectoryA(directory);
  return removed;
}

}  // namespace

bool is_directory_below_root(const char* path) {
  if (!app::names_directory_below_root(path)) return false;
  // Dot names may climb to the root: "C:\Program Files\.." is "C:\".
  char full[app::path_capacity];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  return length != 0 && length < sizeof full && app::names_directory_below_root(full);
}

bool delete_installed_file(const char* install_dir, const char* file_name) {
  if (!is_directory_below_root(install_dir)) return false;
  char path[app::path_capacity];
  if (!app::join_path(path, install_dir, file_name)) return false;
  return DeleteFileA(path) != FALSE;
}

bool remove_program_files(const char* install_dir) {
  // Anything else would name files and directories outside the installation: the current
  // directory's, a drive's or a share's own.
  if (!is_directory_below_root(install_dir)) return false;
  bool counted_files_deleted = true;
  for (const InstalledFile& file : installed_files) {
    const bool deleted = delete_installed_file(install_dir, file.name);
    if (file.counts) counted_files_deleted = counted_files_deleted && deleted;
  }
  const bool directory_removed = remove_installation_directories(install_dir);
  return counted_files_deleted && directory_removed;
}

}  // namespace removal
