#pragma once
// A simulated installation of the add-in on a Wine prefix, and the file, registry and shell
// folder helpers that lay it out and look at it. Everything acts on real paths and keys.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/unique_any.h"

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

// The one entry of directory that is file_name moved aside for a restart
// ("<file_name>.<8 lowercase hex digits>.removed"), or an empty text when there is none or more
// than one.
std::string moved_aside(const std::string& directory, const std::string& file_name);

// A copy of resident.exe (from program_directory()) placed at path and run from there, so that
// its image is in use as the add-in's program is while it runs; told to end, and waited for,
// when the object goes. Throws when it cannot be placed or started.
class RunningImage {
 public:
  explicit RunningImage(const std::string& path);
  RunningImage(const RunningImage&) = delete;
  RunningImage& operator=(const RunningImage&) = delete;
  ~RunningImage();

 private:
  base::unique_handle release_;
  base::unique_handle process_;
};

// Wine only: the Unix name of a path, and a Unix program started (Wine starts an ELF file
// given as "Z:\bin\ln ..." as a Unix process) and waited for until done() says its work is
// there; both throw on failure.
std::string unix_path(const std::string& path);
void run_unix_program(const std::string& command_line, const std::function<bool()>& done);
bool is_link(const std::string& path);  // a reparse point
// A directory symbolic link at link to target. Wine 8 makes no junction (FSCTL_SET_REPARSE_POINT
// answers ERROR_NOT_SUPPORTED, CreateSymbolicLinkA succeeds and makes nothing), but reports a
// Unix symbolic link as FILE_ATTRIBUTE_REPARSE_POINT. remove_tree takes such a link away alone.
void make_directory_link(const std::string& link, const std::string& target);

// What the platform is to delete or rename at the next restart, in its order: each a
// "\??\<path>" for a deletion, "<source> -> <target>" for a renaming.
inline constexpr char session_manager_key[] = "System\\CurrentControlSet\\Control\\Session Manager";
inline constexpr char pending_renames_value[] = "PendingFileRenameOperations";
std::vector<std::string> pending_deletions();
void forget_pending_deletions();  // the list gone, as after a restart

// Registry. HKEY_LOCAL_MACHINE\Software has two views on 64-bit Windows: a 32-bit program's
// is the 32-bit one, which the 64-bit view holds as Software\Wow6432Node. view is
// KEY_WOW64_32KEY or KEY_WOW64_64KEY, or 0 for this program's own.
void set_string_value(HKEY root, const std::string& key, const std::string& name,
                      const std::string& value, REGSAM view = 0, DWORD type = REG_SZ);
void delete_value(HKEY root, const std::string& key, const std::string& name, REGSAM view = 0);
bool key_exists(HKEY root, const std::string& key, REGSAM view = 0);
bool value_exists(HKEY root, const std::string& key, const std::string& name, REGSAM view = 0);
std::vector<std::string> value_names(HKEY root, const std::string& key,
                                     REGSAM view = 0);  // sorted
void delete_key_tree(HKEY root, const std::string& key, REGSAM view = 0);
// Gives an existing key the access control list of an SDDL text ("D:(A;;KA;;;WD)").
void set_key_security(HKEY root, const std::string& key, const char* sddl, REGSAM view = 0);

struct RegistryView {
  REGSAM access;         // KEY_WOW64_32KEY or KEY_WOW64_64KEY
  const char* software;  // where its HKLM\Software lies in the 64-bit view (Wine's spelling)
};
inline constexpr RegistryView registry_32{KEY_WOW64_32KEY, "Software\\Wow6432Node"};
inline constexpr RegistryView registry_64{KEY_WOW64_64KEY, "Software"};
inline constexpr RegistryView both_registry_views[] = {registry_32, registry_64};

// The view of this program's own HKEY_LOCAL_MACHINE\Software.
constexpr RegistryView own_registry_view() {
#ifdef _WIN64
  return registry_64;
#else
  return registry_32;
#endif
}

// The views the uninstaller built alongside looks for its uninstall entry in: the 64-bit one
// looks in both, the 32-bit one in its own, the 32-bit view.
std::vector<RegistryView> uninstall_entry_views();

// key ("Software\...", under HKEY_LOCAL_MACHINE) of view, as the 64-bit view names it.
std::string key_in_view(const RegistryView& view, const std::string& key);

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

// The installation: the five program files in install_dir, the uninstall entry in each of
// views, the 23 settings values and both shortcuts.
void lay_installation(const std::string& install_dir,
                      const std::vector<RegistryView>& views = uninstall_entry_views());
// One line per item of the installation, the uninstall entry once per view:
// "present  <item>" or "absent   <item>".
std::vector<std::string> describe_installation(
    const std::string& install_dir,
    const std::vector<RegistryView>& views = uninstall_entry_views());

}  // namespace testbed
