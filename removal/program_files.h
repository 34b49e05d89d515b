#pragma once

#include "removal/report.h"

namespace removal {

// Deletes the installed program files from install_dir, then the directory itself and its
// parent where they are empty. True when "Merivane.exe" and "Setup.exe" were deleted and the
// installation directory was removed. An install_dir that is no directory below a root
// (is_directory_below_root) deletes and removes nothing, and the answer is false.
//
// A file that a program holds is left for the platform to delete at the next restart, and so
// is a directory that nothing but such files keeps (the parent: nothing but the installation
// directory so left); each counts as removed. A directory that is a link (a reparse point) is
// never removed; the five files are deleted through it all the same.
bool remove_program_files(const char* install_dir);
// The same, telling the report of every file and directory it acts on, and whether anything
// is left for the restart.
StepResult remove_program_files(const char* install_dir, Report* report);

// Deletes install_dir + file_name (no separator inserted). False when the file could not be
// deleted, when install_dir is no directory below a root, and when the path would not fit:
// a shortened path would name another file.
bool delete_installed_file(const char* install_dir, const char* file_name);

// Whether a file that DeleteFileA refused with delete_error is held open by a program, from its
// attributes and the error of opening it for deletion: in use, and not read-only, a directory
// or forbidden by the rights.
bool held_by_a_program(unsigned long delete_error, unsigned long attributes,
                       unsigned long open_error);

// True when path names a directory below a drive's or a share's root, also once its dot
// names are resolved, and its full form fits the platform's path limit.
bool is_directory_below_root(const char* path);

}  // namespace removal
