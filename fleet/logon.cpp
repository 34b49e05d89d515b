#include "fleet/logon.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/own_directory.h"
#include "base/registry.h"
#include "base/unique_any.h"
#include "removal/registry_entries.h"
#include "sequence/log_file.h"
#include "sequence/removal_lock.h"

namespace app {

namespace {

constexpr char components_key[] = "Software\\Microsoft\\Active Setup\\Installed Components\\";
constexpr char run_once_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// Under the user's own stamp of the component: the registration whose work is done, and the
// logons at which the work of which registration was tried.
constexpr char done_value[] = "MerivaneDone";
constexpr char tries_value[] = "MerivaneTries";
constexpr char tries_for_value[] = "MerivaneTriesFor";
constexpr char log_folder[] = "\\Quillaburst";
constexpr char log_name[] = "\\Merivane removal.log";
constexpr int exit_failed = 1603;
constexpr int exit_another_run = 1618;
constexpr int exit_bad_arguments = 87;

std::string component_key() { return std::string(components_key) + active_setup_component; }

// The program with the logon switch and what follows it, as a command line.
std::string command_of(const std::string& program, const char* run) {
  return "\"" + program + "\" " + logon_switch + " " + run;
}

LONG set_text(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

std::string read_text(HKEY root, const char* name, REGSAM view = 0) {
  char text[64];
  DWORD type = REG_NONE, size = 0;
  base::read_registry_string(component_key().c_str(), name, "", root, text, sizeof text, &type,
                             &size, view);
  return type == REG_SZ ? text : "";
}

// The version of the registration in force; empty when there is none.
std::string registered_version() {
  return read_text(HKEY_LOCAL_MACHINE, "Version", KEY_WOW64_64KEY);
}

// The registration whose work this user has done; empty when none.
std::string done_version() { return read_text(HKEY_CURRENT_USER, done_value); }

bool nothing_left(const std::string& registered) {
  return !registered.empty() && done_version() == registered;
}

base::unique_hkey user_stamp() {
  base::unique_hkey stamp;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, component_key().c_str(), 0, nullptr, 0,
                      KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, stamp.put(),
                      nullptr) != ERROR_SUCCESS)
    stamp.reset();
  return stamp;
}

void mark_done(const std::string& registered) {
  if (const base::unique_hkey stamp = user_stamp()) set_text(stamp.get(), done_value, registered);
}

// This logon's try at the registration's work, counted from 1 for each registration.
unsigned long count_try(const std::string& registered) {
  const base::unique_hkey stamp = user_stamp();
  if (!stamp) return 1;
  DWORD tries = 0, type = REG_NONE, size = sizeof tries;
  if (read_text(HKEY_CURRENT_USER, tries_for_value) != registered ||
      RegQueryValueExA(stamp.get(), tries_value, nullptr, &type, reinterpret_cast<BYTE*>(&tries),
                       &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    tries = 0;
  ++tries;
  set_text(stamp.get(), tries_for_value, registered);
  RegSetValueExA(stamp.get(), tries_value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&tries),
                 sizeof tries);
  return tries;
}

// The user's part after the desktop is up, at this user's next logon.
bool leave_to_next_logon() {
  char program[base::path_capacity];
  base::unique_hkey run_once;
  return base::own_program_path(program) &&
         RegCreateKeyExA(HKEY_CURRENT_USER, run_once_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                         run_once.put(), nullptr) == ERROR_SUCCESS &&
         set_text(run_once.get(), run_once_name, command_of(program, "user")) == ERROR_SUCCESS;
}

// Newer than the registration in force, even one made within the same minute: the shell runs
// a stub again only for a newer version, and the done marks compare it.
std::string newer_version(const std::string& registered) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  unsigned long version[4] = {1, now.wYear, now.wMonth * 100ul + now.wDay,
                              now.wHour * 100ul + now.wMinute};
  unsigned long former[4] = {};
  std::sscanf(registered.c_str(), "%lu,%lu,%lu,%lu", &former[0], &former[1], &former[2],
              &former[3]);
  if (!std::lexicographical_compare(std::begin(former), std::end(former), std::begin(version),
                                    std::end(version))) {
    std::copy(std::begin(former), std::end(former), std::begin(version));
    ++version[3];
  }
  char text[64];
  std::snprintf(text, sizeof text, "%lu,%lu,%lu,%lu", version[0], version[1], version[2],
                version[3]);
  return text;
}

// A log of its own for a run that is over in a moment.
void log_once(const char* log_path, const char* text, int exit_code) {
  LogFile log;
  if (!log.open(log_path)) return;
  log.started(GetCommandLineA(), Mode::quiet);
  log.line(text);
  log.ended(exit_code);
}

// Before the desktop: nothing here may take long.
int run_stub(const char* log_path) {
  const std::string registered = registered_version();
  if (nothing_left(registered)) return 0;
  // Merivane installed again since the removal: the user's data are the new installation's.
  if (removal::installed_again()) {
    mark_done(registered);
    log_once(log_path, "reinstalled: nothing done", 0);
    return 0;
  }
  leave_to_next_logon();
  return 0;
}

// logon: run at a logon (tried a bounded number of times, and never after a reinstall), rather
// than by a removal that is under way.
int run_user_part(const char* log_path, const UninstallSystem& system, bool logon) {
  const std::string registered = registered_version();
  if (nothing_left(registered)) return 0;
  LogFile log;
  log.open(log_path);
  log.started(GetCommandLineA(), Mode::quiet);
  const auto ended = [&log](int exit_code) {
    log.ended(exit_code);
    return exit_code;
  };
  unique_removal_lock lock;
  if (!take_user_part_lock(lock)) {
    // Another run is doing this user's part now: this logon's run is left to the next logon.
    log.line("another_user_part running");
    if (logon) leave_to_next_logon();
    return ended(exit_another_run);
  }
  if (logon && removal::installed_again()) {
    log.line("reinstalled: nothing done");
    mark_done(registered);
    return ended(0);
  }
  const unsigned long tries = logon ? count_try(registered) : 0;
  if (logon)
    log.line("logon_try n=" + std::to_string(tries) + " limit=" + std::to_string(logon_tries));

  // Nobody is asked anything at a logon: an Outlook out of reach is tried again next time.
  outlook::StepEnvironment environment;
  environment.outlook_window_exists = system.outlook_window_exists;
  bool needs_manual_form_step = true;
  log.step_started(1);
  bool converted = system.convert_outlook_tasks(needs_manual_form_step, &log, environment);
  log.step_ended(1, converted);
  // No Outlook of the user's, no task of the user's: nothing a later logon could do.
  if (!converted && log.outlook_not_registered()) {
    log.line("outlook not_registered: no tasks to convert");
    converted = true;
    needs_manual_form_step = false;
  }
  log.step_started(3);
  const bool settings = system.remove_user_settings(&log);
  log.step_ended(3, settings);
  log.step_started(4);
  const bool shortcut = system.remove_desktop_shortcut(&log);
  log.step_ended(4, shortcut);
  if (needs_manual_form_step) log.manual_form_step();

  const bool done = converted && settings && shortcut;
  if (done) {
    mark_done(registered);
  } else if (logon && tries >= logon_tries) {
    mark_done(registered);
    log.line("gave_up tries=" + std::to_string(tries));
  } else if (leave_to_next_logon()) {
    log.line("left_to_next_logon");
  }
  return ended(done ? 0 : exit_failed);
}

}  // namespace

bool user_part_log_path(char (&path)[base::path_capacity]) {
  if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK ||
      !base::append_path(path, log_folder))
    return false;
  CreateDirectoryA(path, nullptr);
  return base::append_path(path, log_name);
}

bool register_for_logon(const std::string& program, std::string& version, unsigned long& error) {
  version = newer_version(registered_version());
  base::unique_hkey component;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, component_key().c_str(), 0, nullptr, 0,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, component.put(), nullptr);
  const DWORD installed = 1;
  if (status == ERROR_SUCCESS) status = set_text(component.get(), nullptr, run_once_name);
  if (status == ERROR_SUCCESS)
    status = set_text(component.get(), "StubPath", command_of(program, "stub"));
  if (status == ERROR_SUCCESS) status = set_text(component.get(), "Version", version);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExA(component.get(), "IsInstalled", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&installed), sizeof installed);
  error = static_cast<unsigned long>(status);
  return status == ERROR_SUCCESS;
}

int run_at_logon(const char* arguments, const UninstallSystem& system) {
  while (*arguments == ' ') ++arguments;
  char default_log[base::path_capacity];
  const char* const log_path = user_part_log_path(default_log) ? default_log : "";
  if (std::strcmp(arguments, "stub") == 0) return run_stub(log_path);
  if (std::strcmp(arguments, "user") == 0) return run_user_part(log_path, system, true);
  if (std::strncmp(arguments, "session ", 8) == 0 && arguments[8] != '\0')
    return run_user_part(arguments + 8, system, false);
  return exit_bad_arguments;
}

}  // namespace app
