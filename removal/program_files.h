#pragma once

#include "removal/report.h"

namespace removal {

// Deletes the installed program files from install_dir, then the directory itself and its
// parent where they are empty. True when "Merivane.exe" and "Setup.exe" were deleted and the
// installation directory was removed. An install_dir that is no directory below a root
// (is_directory_below_root) deletes and removes nothing, and the answer is false.
bool remove_program_files(const char* install_dir);
// The same, telling the report of every file and directory it acts on.
bool remove_program_files(const char* install_dir, Report* report);

// Deletes install_dir + file_name (no separator inserted). False when the file could not be
// deleted, when install_dir is no directory below a root, and when the path would not fit:
// a shortened path would name another file.
bool delete_installed_file(const char* install_dir, const char* file_name);

// True when path names a directory below a drive's or a share's root, also once its dot
// names are resolved, and its full form fits the platform's path limit.
bool is_directory_below_root(const char* path);

}  // namespace removal
