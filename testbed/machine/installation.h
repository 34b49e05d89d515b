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

// Registry.
void set_string_value(HKEY root, const std::string& key, const std::string& name,
                      const std::string& value);
bool key_exists(HKEY root, const std::string& key);
bool value_exists(HKEY root, const std::string& key, const std::string& name);
std::vector<std::string> value_names(HKEY root, const std::string& key);  // sorted
void delete_key_tree(HKEY root, const std::string& key);

// The running program's directory, with a trailing backslash: the built programs and
// stand-ins sit together there.
std::string program_directory();

// Shell folders (CSIDL values), with a trailing backslash.
std::string special_folder(int folder);

// The installation: the five program files in install_dir, the uninstall entry, the 23
// settings values and both shortcuts.
void lay_installation(const std::string& install_dir);
// One line per item of the installation: "present  <item>" or "absent   <item>".
std::vector<std::string> describe_installation(const std::string& install_dir);

}  // namespace testbed
