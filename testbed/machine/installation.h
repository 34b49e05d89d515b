#pragma once
// A simulated installation of the add-in on a Wine prefix, and the file, registry and shell
// folder helpers that lay it out and look at it. Everything acts on real paths and keys.

#include <windows.h>

#include <string>
#include <vector>

namespace testbed {

// What the installer leaves behind, written down from the installer's side.
std::vector<std::string> program_file_names();
inline constexpr char uninstall_entry_key[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillaburst Merivane";
std::vector<std::string> uninstall_entry_value_names();
inline constexpr char maker_key[] = "Software\\Quillaburst";
inline constexpr char product_key[] = "Software\\Quillaburst\\Merivane";
inline constexpr char settings_key[] = "Software\\Quillaburst\\Merivane\\1.0";
std::vector<std::string> settings_value_names();
inline constexpr char shortcut_name[] = "Merivane.lnk";

// Files and directories.
void write_file(const std::string& path, const std::string& content = "test");
bool file_exists(const std::string& path);
bool directory_exists(const std::string& path);
void make_directories(const std::string& path);                       // every missing level
void remove_tree(const std::string& path);                            // no error when it is missing
std::vector<std::string> directory_entries(const std::string& path);  // names, sorted

// Registry. view is 0 for this process's own view of HKEY_LOCAL_MACHINE\Software, or
// KEY_WOW64_32KEY or KEY_WOW64_64KEY for that view.
void set_string_value(HKEY root, const std::string& key, const std::string& name,
                      const std::string& value, REGSAM view = 0);
bool key_exists(HKEY root, const std::string& key, REGSAM view = 0);
bool value_exists(HKEY root, const std::string& key, const std::string& name, REGSAM view = 0);
std::vector<std::string> value_names(HKEY root, const std::string& key,
                                     REGSAM view = 0);  // sorted
void delete_key_tree(HKEY root, const std::string& key, REGSAM view = 0);
// Gives an existing key the access control list of an SDDL text ("D:(A;;KA;;;WD)").
void set_key_security(HKEY root, const std::string& key, const char* sddl, REGSAM view = 0);

// The running program's directory, with a trailing backslash: the built programs and
// stand-ins sit together there.
std::string program_directory();

// The system directory of this process's bitness, with a trailing backslash: for a 32-bit
// process the platform redirects it to the 32-bit one (syswow64).
std::string system_directory();

// Puts a stand-in library into the system directory under name, where the program loads the
// system's libraries from; remove_system_library takes it away again. Whatever file had that
// name is unlinked first: a prefix's Windows files are hard links shared with its template.
void place_system_library(const std::string& source, const std::string& name);
void remove_system_library(const std::string& name);

// Shell folders (CSIDL values), with a trailing backslash.
std::string special_folder(int folder);

// The installation: the five program files in install_dir, the uninstall entry, the 23
// settings values and both shortcuts.
void lay_installation(const std::string& install_dir);
// One line per item of the installation: "present  <item>" or "absent   <item>".
std::vector<std::string> describe_installation(const std::string& install_dir);

}  // namespace testbed
