#include "testbed/machine/installation.h"

#include <shlobj.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "base/unique_any.h"

namespace testbed {

namespace {

std::vector<std::string> words(const char* text) {
  std::istringstream stream(text);
  std::vector<std::string> result;
  for (std::string word; stream >> word;) result.push_back(word);
  return result;
}

[[noreturn]] void fail(const std::string& what, DWORD error = GetLastError()) {
  throw std::runtime_error(what + " (error " + std::to_string(error) + ")");
}

DWORD attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }

base::unique_hkey open_key(HKEY root, const std::string& path, REGSAM access, bool create) {
  base::unique_hkey key;
  const LONG status = create ? RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, access, nullptr,
                                               key.put(), nullptr)
                             : RegOpenKeyExA(root, path.c_str(), 0, access, key.put());
  if (status != ERROR_SUCCESS) key.release();
  return key;
}

}  // namespace

std::string unix_path(const std::string& path) {
  using UnixFileName = char*(CDECL*)(const WCHAR*);
  const auto unix_file_name = reinterpret_cast<UnixFileName>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (unix_file_name == nullptr) fail("not running under Wine", 0);
  WCHAR wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH) == 0)
    fail("cannot widen " + path);
  char* name = unix_file_name(wide);
  if (name == nullptr) fail("no Unix name for " + path, 0);
  const std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

void run_unix_program(const std::string& command_line, const std::function<bool()>& done) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    fail("cannot start " + command_line);
  const base::unique_handle owned_process(process.hProcess);
  const base::unique_handle owned_thread(process.hThread);
  // Wine hands back a process that it does not follow: neither its end nor its exit code
  // says when the Unix program has done its work, so the work itself is waited for.
  for (int tries = 0; !done(); ++tries) {
    if (tries == 1000) fail(command_line + " did not do its work in 10 s", 0);
    Sleep(10);
  }
}

bool is_link(const std::string& path) {
  const DWORD found = attributes(path);
  return found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void make_directory_link(const std::string& link, const std::string& target) {
  run_unix_program("Z:\\bin\\ln -s \"" + unix_path(target) + "\" \"" + unix_path(link) + "\"",
                   [&] { return is_link(link); });
}

void forget_pending_deletions() {
  const auto key = open_key(HKEY_LOCAL_MACHINE, session_manager_key, KEY_SET_VALUE, false);
  if (key) RegDeleteValueA(key.get(), pending_renames_value);
}

std::vector<std::string> pending_deletions() {
  std::vector<std::string> pending;
  const auto key = open_key(HKEY_LOCAL_MACHINE, session_manager_key, KEY_READ, false);
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (!key || RegQueryValueExA(key.get(), pending_renames_value, nullptr, &type, nullptr, &size) !=
                  ERROR_SUCCESS)
    return pending;
  std::vector<char> data(size + 2, '\0');
  if (RegQueryValueExA(key.get(), pending_renames_value, nullptr, &type,
                       reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
    return pending;
  // Pairs of a source and a target, an empty target for a deletion: the empty strings are part
  // of the list, so it is read by its size, not up to the first empty string.
  std::vector<std::string> strings;
  for (std::size_t at = 0; at < size;) {
    const std::string text = data.data() + at;
    strings.push_back(text);
    at += text.size() + 1;
  }
  for (std::size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2)
    pending.push_back(strings[i + 1].empty() ? strings[i] : strings[i] + " -> " + strings[i + 1]);
  return pending;
}

std::vector<std::string> program_file_names() {
  return words("Merivane.chm UninstallMV.doc pad_file.xml Merivane.exe Setup.exe");
}

std::vector<std::string> uninstall_entry_value_names() {
  return words("DisplayName UninstallString InstallLocation");
}

std::vector<std::string> settings_value_names() {
  return words(
      "UpdateCalendar UpdateStartAndDue DefaultToCurrent FirstTaskDate TaskOrder Breaks "
      "KeepProgressRecord SubjectTemplate CompletedTemplate TasksFolder CompletedTasksFolder "
      "MoveCompletedTasks Snap SnapMinutes CalendarFolder OutputCalFolder IgnoreDeferred "
      "IgnoreWaiting ReminderDuration MessageDone AllPrivateEntries TaskShortcuts AlertStatus");
}

void write_file(const std::string& path, const std::string& content) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) fail("cannot create " + path, 0);
  std::fwrite(content.data(), 1, content.size(), file);
  std::fclose(file);
}

bool file_exists(const std::string& path) {
  const DWORD found = attributes(path);
  return found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool directory_exists(const std::string& path) {
  const DWORD found = attributes(path);
  return found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void make_directories(const std::string& path) {
  for (std::size_t at = path.find_first_of("\\/", 3); at != std::string::npos;
       at = path.find_first_of("\\/", at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryA(path.c_str(), nullptr);
  if (!directory_exists(path)) fail("cannot create directory " + path);
}

std::vector<std::string> directory_entries(const std::string& path) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::string moved_aside(const std::string& directory, const std::string& file_name) {
  const std::string head = file_name + ".";
  const std::string tail = ".removed";
  std::string found;
  for (const std::string& entry : directory_entries(directory)) {
    if (entry.size() != head.size() + 8 + tail.size() || !entry.starts_with(head) ||
        !entry.ends_with(tail) ||
        entry.find_first_not_of("0123456789abcdef", head.size()) != head.size() + 8)
      continue;
    if (!found.empty()) return {};
    found = entry;
  }
  return found;
}

RunningImage::RunningImage(const std::string& path) {
  if (!CopyFileA((program_directory() + "resident.exe").c_str(), path.c_str(), FALSE))
    fail("cannot place resident.exe as " + path);
  static int started = 0;
  const std::string event_name = "merivane-resident-" + std::to_string(GetCurrentProcessId()) +
                                 "-" + std::to_string(++started);
  release_.reset(CreateEventA(nullptr, TRUE, FALSE, event_name.c_str()));
  if (!release_) fail("cannot make the event " + event_name);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string command_line = "\"" + path + "\" " + event_name;
  if (!CreateProcessA(path.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process))
    fail("cannot start " + path);
  process_.reset(process.hProcess);
  const base::unique_handle thread(process.hThread);
}

RunningImage::~RunningImage() {
  SetEvent(release_.get());
  WaitForSingleObject(process_.get(), 60000);
}

void remove_tree(const std::string& path) {
  // A link goes, never what it leads to.
  if (is_link(path)) {
    run_unix_program("Z:\\bin\\rm -f \"" + unix_path(path) + "\"",
                     [&] { return attributes(path) == INVALID_FILE_ATTRIBUTES; });
    return;
  }
  if (!directory_exists(path)) {
    DeleteFileA(path.c_str());
    return;
  }
  for (const std::string& name : directory_entries(path)) {
    const std::string child = path + "\\" + name;
    SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
    remove_tree(child);
  }
  RemoveDirectoryA(path.c_str());
}

void set_string_value(HKEY root, const std::string& key, const std::string& name,
                      const std::string& value, REGSAM view, DWORD type) {
  const auto opened = open_key(root, key, KEY_WRITE | view, true);
  if (!opened) fail("cannot create key " + key, 0);
  const LONG status =
      RegSetValueExA(opened.get(), name.c_str(), 0, type,
                     reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
  if (status != ERROR_SUCCESS) fail("cannot set " + key + "\\" + name, DWORD(status));
}

void delete_value(HKEY root, const std::string& key, const std::string& name, REGSAM view) {
  if (const auto opened = open_key(root, key, KEY_WRITE | view, false))
    RegDeleteValueA(opened.get(), name.c_str());
}

bool key_exists(HKEY root, const std::string& key, REGSAM view) {
  return bool(open_key(root, key, KEY_READ | view, false));
}

bool value_exists(HKEY root, const std::string& key, const std::string& name, REGSAM view) {
  const auto opened = open_key(root, key, KEY_READ | view, false);
  return opened && RegQueryValueExA(opened.get(), name.c_str(), nullptr, nullptr, nullptr,
                                    nullptr) == ERROR_SUCCESS;
}

std::vector<std::string> value_names(HKEY root, const std::string& key, REGSAM view) {
  std::vector<std::string> names;
  const auto opened = open_key(root, key, KEY_READ | view, false);
  if (!opened) return names;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD length = sizeof name;
    if (RegEnumValueA(opened.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void delete_key_tree(HKEY root, const std::string& key, REGSAM view) {
  // RegDeleteTree takes no view: it empties the key opened in the view, which then goes.
  if (const auto opened = open_key(root, key, KEY_ALL_ACCESS | view, false))
    RegDeleteTreeA(opened.get(), nullptr);
  RegDeleteKeyExA(root, key.c_str(), view, 0);
}

void set_key_security(HKEY root, const std::string& key, const char* sddl, REGSAM view) {
  const auto opened = open_key(root, key, WRITE_DAC | view, false);
  if (!opened) fail("cannot open " + key + " to change its security", 0);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    fail(std::string("bad security text ") + sddl);
  const LONG status = RegSetKeySecurity(opened.get(), DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  if (status != ERROR_SUCCESS) fail("cannot change the security of " + key, DWORD(status));
}

std::vector<RegistryView> uninstall_entry_views() {
#ifdef _WIN64
  return {registry_32, registry_64};
#else
  return {own_registry_view()};
#endif
}

std::string key_in_view(const RegistryView& view, const std::string& key) {
  constexpr char software[] = "Software";
  const std::size_t length = sizeof software - 1;
  if (key.size() < length || _strnicmp(key.c_str(), software, length) != 0 ||
      (key.size() > length && key[length] != '\\'))
    return key;  // not under Software: both views share it
  return view.software + key.substr(length);
}

std::string program_directory() {
  char name[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, name, sizeof name);
  const std::string path(name, length < sizeof name ? length : 0);
  return path.substr(0, path.find_last_of('\\') + 1);
}

std::string system_directory() {
  char path[MAX_PATH];
  const UINT length = GetSystemDirectoryA(path, sizeof path);
  if (length == 0 || length >= sizeof path) fail("no system directory");
  return std::string(path, length) + "\\";
}

void remove_system_library(const std::string& name) {
  const std::string target = system_directory() + name;
  if (!DeleteFileA(target.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
    fail("cannot remove " + target);
}

void place_system_library(const std::string& source, const std::string& name) {
  remove_system_library(name);
  const std::string target = system_directory() + name;
  if (!CopyFileA(source.c_str(), target.c_str(), TRUE))
    fail("cannot copy " + source + " to " + target);
}

std::string special_folder(int folder) {
  char path[MAX_PATH];
  if (FAILED(SHGetFolderPathA(nullptr, folder | CSIDL_FLAG_CREATE, nullptr, 0, path)))
    fail("no special folder " + std::to_string(folder), 0);
  return std::string(path) + "\\";
}

void lay_installation(const std::string& install_dir, const std::vector<RegistryView>& views) {
  make_directories(install_dir);
  for (const std::string& name : program_file_names()) write_file(install_dir + name);

  for (const RegistryView& view : views)
    for (const std::string& name : uninstall_entry_value_names())
      set_string_value(HKEY_LOCAL_MACHINE, uninstall_entry_key, name, install_dir, view.access);
  for (const std::string& name : settings_value_names())
    set_string_value(HKEY_CURRENT_USER, settings_key, name, "1");

  write_file(special_folder(CSIDL_DESKTOPDIRECTORY) + shortcut_name);
  write_file(special_folder(CSIDL_COMMON_PROGRAMS) + shortcut_name);
}

std::vector<std::string> describe_installation(const std::string& install_dir,
                                               const std::vector<RegistryView>& views) {
  std::vector<std::string> lines;
  const auto line = [&lines](bool present, const std::string& item) {
    lines.push_back((present ? "present  " : "absent   ") + item);
  };
  for (const std::string& name : program_file_names())
    line(file_exists(install_dir + name), install_dir + name);
  std::string directory = install_dir.substr(0, install_dir.size() - 1);
  line(directory_exists(directory), directory);
  directory = directory.substr(0, directory.find_last_of("\\/"));
  line(directory_exists(directory), directory);

  for (const RegistryView& view : views) {
    line(key_exists(HKEY_LOCAL_MACHINE, uninstall_entry_key, view.access),
         "HKLM\\" + key_in_view(view, uninstall_entry_key) + "  (" +
             std::to_string(
                 value_names(HKEY_LOCAL_MACHINE, uninstall_entry_key, view.access).size()) +
             " values)");
  }
  for (const char* key : {settings_key, product_key, maker_key}) {
    line(key_exists(HKEY_CURRENT_USER, key),
         std::string("HKCU\\") + key + "  (" +
             std::to_string(value_names(HKEY_CURRENT_USER, key).size()) + " values)");
  }
  for (const int folder : {CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_PROGRAMS}) {
    const std::string shortcut = special_folder(folder) + shortcut_name;
    line(file_exists(shortcut), shortcut);
  }
  return lines;
}

}  // namespace testbed
