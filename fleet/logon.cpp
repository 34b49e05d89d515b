#include "fleet/logon.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "base/own_directory.h"
#include "base/registry.h"
#include "base/unique_any.h"
#include "sequence/log_file.h"
#include "sequence/uninstall.h"

namespace app {

namespace {

constexpr char components_key[] = "Software\\Microsoft\\Active Setup\\Installed Components\\";
constexpr char run_once_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// Under the user's own stamp of the component: the registration whose work is done.
constexpr char done_value[] = "MerivaneDone";
constexpr char log_folder[] = "\\Quillaburst";
constexpr char log_name[] = "\\Merivane removal.log";

std::string component_key() { return std::string(components_key) + active_setup_component; }

// The program with the logon switch and what follows it, as a command line.
std::string own_command(const char* run) {
  char path[base::path_capacity];
  if (!base::own_program_path(path)) return {};
  std::string command = "\"";
  command.append(path).append("\" ").append(logon_switch).append(" ").append(run);
  return command;
}

LONG set_text(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

// The version of the registration in force; empty when there is none.
std::string registered_version() {
  char version[64];
  DWORD type = REG_NONE, size = 0;
  base::read_registry_string(component_key().c_str(), "Version", "", HKEY_LOCAL_MACHINE, version,
                             sizeof version, &type, &size, KEY_WOW64_64KEY);
  return type == REG_SZ ? version : "";
}

// The registration whose work this user has done; empty when none.
std::string done_version() {
  char version[64];
  DWORD type = REG_NONE, size = 0;
  base::read_registry_string(component_key().c_str(), done_value, "", HKEY_CURRENT_USER, version,
                             sizeof version, &type, &size);
  return type == REG_SZ ? version : "";
}

bool nothing_left(const std::string& registered) {
  return !registered.empty() && done_version() == registered;
}

void mark_done(const std::string& registered) {
  base::unique_hkey stamp;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, component_key().c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, stamp.put(), nullptr) == ERROR_SUCCESS)
    set_text(stamp.get(), done_value, registered);
}

// The user's part after the desktop is up, at this user's next logon.
bool leave_to_next_logon() {
  const std::string command = own_command("user");
  base::unique_hkey run_once;
  return !command.empty() &&
         RegCreateKeyExA(HKEY_CURRENT_USER, run_once_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                         run_once.put(), nullptr) == ERROR_SUCCESS &&
         set_text(run_once.get(), run_once_name, command) == ERROR_SUCCESS;
}

int run_user_part(const char* log_path, const UninstallSystem& system) {
  const std::string registered = registered_version();
  if (nothing_left(registered)) return 0;
  char default_log[base::path_capacity];
  if (log_path[0] == '\0' && user_part_log_path(default_log)) log_path = default_log;
  LogFile log;
  log.open(log_path);
  RunLog* const report = log.is_open() ? &log : nullptr;
  log.started(GetCommandLineA(), Mode::quiet);

  // Nobody is asked anything at a logon: an Outlook out of reach is tried again next time.
  outlook::StepEnvironment environment;
  environment.outlook_window_exists = system.outlook_window_exists;
  bool needs_manual_form_step = true;
  log.step_started(1);
  const bool converted = system.convert_outlook_tasks(needs_manual_form_step, report, environment);
  log.step_ended(1, converted);
  log.step_started(3);
  const bool settings = system.remove_user_settings(report);
  log.step_ended(3, settings);
  log.step_started(4);
  const bool shortcut = system.remove_desktop_shortcut(report);
  log.step_ended(4, shortcut);
  if (needs_manual_form_step) log.manual_form_step();

  const bool done = converted && settings && shortcut;
  if (done)
    mark_done(registered);
  else if (leave_to_next_logon())
    log.line("left_to_next_logon");
  const int exit_code = done ? 0 : 1603;
  log.ended(exit_code);
  return exit_code;
}

}  // namespace

bool user_part_log_path(char (&path)[base::path_capacity]) {
  if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK ||
      !base::append_path(path, log_folder))
    return false;
  CreateDirectoryA(path, nullptr);
  return base::append_path(path, log_name);
}

bool register_for_logon(std::string& version, unsigned long& error) {
  const std::string stub = own_command("stub");
  if (stub.empty()) {
    error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  // Each registration is newer than the last, so that the shell runs the stub again for users
  // it ran it for before.
  SYSTEMTIME now;
  GetSystemTime(&now);
  char text[64];
  std::snprintf(text, sizeof text, "1,%u,%u,%u", now.wYear, now.wMonth * 100u + now.wDay,
                now.wHour * 100u + now.wMinute);
  version = text;
  base::unique_hkey component;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, component_key().c_str(), 0, nullptr, 0,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, component.put(), nullptr);
  const DWORD installed = 1;
  if (status == ERROR_SUCCESS) status = set_text(component.get(), nullptr, run_once_name);
  if (status == ERROR_SUCCESS) status = set_text(component.get(), "StubPath", stub);
  if (status == ERROR_SUCCESS) status = set_text(component.get(), "Version", version);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExA(component.get(), "IsInstalled", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&installed), sizeof installed);
  error = static_cast<unsigned long>(status);
  return status == ERROR_SUCCESS;
}

int run_at_logon(const char* arguments, const UninstallSystem& system) {
  while (*arguments == ' ') ++arguments;
  if (std::strcmp(arguments, "stub") == 0) {
    // Before the desktop: nothing here may take long.
    if (!nothing_left(registered_version())) leave_to_next_logon();
    return 0;
  }
  if (std::strncmp(arguments, "user", 4) == 0 && (arguments[4] == '\0' || arguments[4] == ' ')) {
    const char* log_path = arguments + 4;
    while (*log_path == ' ') ++log_path;
    return run_user_part(log_path, system);
  }
  return 87;
}

}  // namespace app
