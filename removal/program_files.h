#pragma once

namespace removal {

// Deletes the installed program files from install_dir, then the directory itself and its
// parent where they are empty. True when "Merivane.exe" and "Setup.exe" were deleted and the
// installation directory was removed.
bool remove_program_files(const char* install_dir);

// Deletes install_dir + file_name (no separator inserted). False when the file could not be
// deleted, and when install_dir is empty or the path would not fit: a bare name would be
// looked for in the current directory, and a shortened path would name another file.
bool delete_installed_file(const char* install_dir, const char* file_name);

}  // namespace removal
