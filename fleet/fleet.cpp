#include "fleet/fleet.h"

#include <userenv.h>
#include <wtsapi32.h>

#include <cstdio>

#include "base/own_directory.h"
#include "base/path_text.h"
#include "fleet/logon.h"
#include "sequence/log_file.h"

namespace app {

namespace {

const char* reach_text(removal::HiveReach reach) {
  switch (reach) {
    case removal::HiveReach::loaded:
      return "loaded";
    case removal::HiveReach::loaded_now:
      return "loaded_now";
    case removal::HiveReach::unavailable:
      break;
  }
  return "unavailable";
}

const char* elevation_text(TOKEN_ELEVATION_TYPE type) {
  return type == TokenElevationTypeFull      ? "full"
         : type == TokenElevationTypeLimited ? "limited"
                                             : "default";
}

std::string sid_of(HANDLE token) {
  const std::string sid = user_sid_text(token);
  return sid.empty() ? "?" : sid;
}

struct WtsMemoryTraits {
  using type = void*;
  static type empty() { return nullptr; }
  static void close(type memory) { WTSFreeMemory(memory); }
};

std::vector<UserSession> logged_on_sessions() {
  std::vector<UserSession> found;
  WTS_SESSION_INFOA* list = nullptr;
  DWORD count = 0;
  if (WTSEnumerateSessionsA(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count) == FALSE) return found;
  const base::unique_any<WtsMemoryTraits> owned(list);
  for (DWORD index = 0; index < count; ++index) {
    if (list[index].State != WTSActive && list[index].State != WTSDisconnected) continue;
    UserSession session;
    session.id = list[index].SessionId;
    if (WTSQueryUserToken(session.id, session.token.put()) == FALSE) continue;
    session.sid = sid_of(session.token.get());
    found.push_back(std::move(session));
  }
  return found;
}

struct EnvironmentTraits {
  using type = void*;
  static type empty() { return nullptr; }
  static void close(type block) { DestroyEnvironmentBlock(block); }
};

DWORD start_in_session(HANDLE token, const char* log_path, base::unique_handle& process) {
  char path[base::path_capacity];
  if (!base::own_program_path(path)) return ERROR_FILENAME_EXCED_RANGE;
  std::string command = "\"";
  command.append(path).append("\" ").append(logon_switch).append(" user ").append(log_path);
  base::unique_any<EnvironmentTraits> environment;
  if (CreateEnvironmentBlock(environment.put(), token, FALSE) == FALSE) return GetLastError();
  char desktop[] = "winsta0\\default";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION started{};
  if (CreateProcessAsUserA(token, path, command.data(), nullptr, nullptr, FALSE,
                           CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.get(),
                           nullptr, &startup, &started) == FALSE)
    return GetLastError();
  CloseHandle(started.hThread);
  process.reset(started.hProcess);
  return ERROR_SUCCESS;
}

bool process_ended(HANDLE process, DWORD limit_ms, DWORD& exit_code) {
  return WaitForSingleObject(process, limit_ms) == WAIT_OBJECT_0 &&
         GetExitCodeProcess(process, &exit_code) != FALSE;
}

// Where a session's user part logs, for this process to read back: the system's temporary
// folder, which each user may write a file of its own in, under a name of this run's own.
std::string session_log_path(DWORD session) {
  char directory[base::path_capacity];
  const UINT length = GetWindowsDirectoryA(directory, sizeof directory);
  if (length == 0 || length >= sizeof directory) return {};
  char name[96];
  std::snprintf(name, sizeof name, "\\Temp\\Merivane removal session %lu.%lu.%lu.log", session,
                GetCurrentProcessId(), GetTickCount());
  return base::append_path(directory, name) ? directory : "";
}

// The session's log, line by line behind its session, then gone. A user may have put
// anything at that name: only a plain file of one name is read, and only the name is deleted.
void take_session_log(const std::string& path, DWORD session, RunLog& log) {
  constexpr DWORD most = 1 << 20;
  const base::unique_file file(CreateFileA(
      path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  BY_HANDLE_FILE_INFORMATION information{};
  if (!file || GetFileInformationByHandle(file.get(), &information) == FALSE ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      information.nNumberOfLinks != 1 || information.nFileSizeHigh != 0 ||
      information.nFileSizeLow > most)
    return;
  std::string text(information.nFileSizeLow, '\0');
  DWORD read = 0;
  if (ReadFile(file.get(), text.data(), information.nFileSizeLow, &read, nullptr) == FALSE) return;
  text.resize(read);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    // Its own timestamp stays: this line's is when it was read.
    if (!line.empty()) log.fleet_line("session " + std::to_string(session) + ": " + line);
    at = end + 1;
  }
}

}  // namespace

const FleetSystem& win32_fleet_system() {
  static const FleetSystem fleet{removal::person_profiles, removal::remove_from_profile,
                                 logged_on_sessions,       start_in_session,
                                 process_ended,            register_for_logon,
                                 session_part_limit_ms};
  return fleet;
}

PartsReady FleetParts::get_ready(Mode, RunLog* log) {
  log_ = log;
  if (log_ != nullptr) {
    base::unique_handle token;
    std::string account = "?";
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) != FALSE)
      account = sid_of(token.get());
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    log_->fleet_line("fleet account=" + account + " session=" + std::to_string(session) +
                     " elevation=" + elevation_text(token_.type) +
                     " reason=" + (by_switch ? "allusers" : "system_account"));
  }
  if (!is_elevated(token_) && !token_.system) {
    if (log_ != nullptr)
      log_->parts_placed("needs_administrator: a removal for every user needs an administrator's "
                         "rights; nothing was changed");
    return PartsReady::needs_administrator;
  }
  return PartsReady::ready;
}

bool FleetParts::convert_outlook_tasks(bool& needs_manual_form_step, outlook::ConversionReport*,
                                       const outlook::StepEnvironment&) {
  // The manual form step, where one is needed, is each user's own run's to tell.
  needs_manual_form_step = false;
  std::vector<Person> people;
  for (removal::UserProfile& profile : fleet_.profiles()) {
    if (!profile.folder_exists) {
      // Listed, but nothing of the person's is left on this machine to act on.
      if (log_ != nullptr)
        log_->fleet_line("profile sid=" + profile.sid + " folder=" +
                         log_quoted(profile.folder.c_str()) + " skipped=no_folder");
      continue;
    }
    const removal::ProfileOutcome outcome = fleet_.remove_from_profile(profile, log_);
    if (log_ != nullptr) {
      std::string text = "profile sid=" + profile.sid + " folder=" + log_quoted(profile.folder.c_str()) +
                         " hive=" + reach_text(outcome.hive);
      if (outcome.hive == removal::HiveReach::unavailable)
        text += " hive_error=" + std::to_string(outcome.hive_error) + " left_to=logon";
      text += std::string(" settings=") + (outcome.settings_removed ? "removed" : "left") +
              " shortcut=" + (outcome.shortcut_removed ? "removed" : "left") +
              " desktop=" + log_quoted(outcome.desktop.c_str());
      log_->fleet_line(text);
    }
    people.push_back({std::move(profile), outcome.settings_removed && outcome.shortcut_removed});
  }
  // Registered before the sessions run, so that a session's run that is done marks the
  // registration in force as done for its user; told after them.
  std::string version;
  unsigned long error = 0;
  registered_ = fleet_.register_for_logon(version, error);
  run_sessions(people);
  if (log_ != nullptr)
    log_->fleet_line(registered_ ? std::string("logon_registered component=") +
                                       active_setup_component + " version=" + version
                                 : "logon_registration_failed code=" + std::to_string(error));
  for (const Person& person : people) {
    if (person.done_now)
      ++done_;
    else if (registered_)
      ++deferred_;
    else
      ++failed_;
  }
  return registered_;
}

void FleetParts::run_sessions(std::vector<Person>& people) {
  // A person's Outlook part is done now only in a session of the person's that ended well.
  std::vector<std::string> done_in_session;
  for (UserSession& session : fleet_.sessions()) {
    const std::string log_path = session_log_path(session.id);
    base::unique_handle process;
    const DWORD started = log_path.empty() ? ERROR_FILENAME_EXCED_RANGE
                                           : fleet_.start_user_part(session.token.get(),
                                                                    log_path.c_str(), process);
    std::string text = "session id=" + std::to_string(session.id) + " sid=" + session.sid;
    DWORD exit_code = 1603;
    if (started != ERROR_SUCCESS) {
      text += " not_started code=" + std::to_string(started);
    } else {
      text += " process=" + std::to_string(GetProcessId(process.get()));
      // One not done in time is left running: its own limits end it, and the logon takes
      // what it leaves.
      if (fleet_.ended(process.get(), fleet_.session_limit_ms, exit_code))
        text += " exit_code=" + std::to_string(exit_code);
      else
        text += " timed_out_ms=" + std::to_string(fleet_.session_limit_ms);
    }
    if (exit_code == 0)
      done_in_session.push_back(session.sid);
    else
      text += " left_to=logon";
    if (log_ != nullptr) {
      log_->fleet_line(text);
      if (started == ERROR_SUCCESS) take_session_log(log_path, session.id, *log_);
    }
  }
  for (Person& person : people) {
    bool done = false;
    for (const std::string& sid : done_in_session) done = done || sid == person.profile.sid;
    person.done_now = person.done_now && done;
  }
}

void FleetParts::tell_counts() const {
  if (log_ == nullptr) return;
  log_->fleet_line("fleet profiles=" + std::to_string(done_ + deferred_ + failed_) +
                   " done=" + std::to_string(done_) + " deferred=" + std::to_string(deferred_) +
                   " failed=" + std::to_string(failed_));
}

}  // namespace app
