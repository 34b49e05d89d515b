#include "fleet/fleet.h"

#include <userenv.h>
#include <wtsapi32.h>

#include <cstdio>
#include <memory>

#include "base/module.h"
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

// The sessions' and the users' environments' libraries, which are not among the platform's
// known libraries: bound at run time from the system directory, never from beside the program.
struct SessionLibraries {
  using Enumerate = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, WTS_SESSION_INFOA**, DWORD*);
  using FreeMemory = void(WINAPI*)(void*);
  using QueryToken = BOOL(WINAPI*)(ULONG, HANDLE*);
  using CreateEnvironment = BOOL(WINAPI*)(void**, HANDLE, BOOL);
  using DestroyEnvironment = BOOL(WINAPI*)(void*);

  SessionLibraries()
      : wtsapi(base::load_system_library("wtsapi32.dll")),
        userenv(base::load_system_library("userenv.dll")),
        enumerate(base::module_entry<Enumerate>(wtsapi.get(), "WTSEnumerateSessionsA")),
        free_memory(base::module_entry<FreeMemory>(wtsapi.get(), "WTSFreeMemory")),
        query_token(base::module_entry<QueryToken>(wtsapi.get(), "WTSQueryUserToken")),
        create_environment(
            base::module_entry<CreateEnvironment>(userenv.get(), "CreateEnvironmentBlock")),
        destroy_environment(
            base::module_entry<DestroyEnvironment>(userenv.get(), "DestroyEnvironmentBlock")) {}

  base::unique_hmodule wtsapi;
  base::unique_hmodule userenv;
  const Enumerate enumerate;
  const FreeMemory free_memory;
  const QueryToken query_token;
  const CreateEnvironment create_environment;
  const DestroyEnvironment destroy_environment;
};

std::vector<UserSession> logged_on_sessions() {
  std::vector<UserSession> found;
  const SessionLibraries libraries;
  WTS_SESSION_INFOA* list = nullptr;
  DWORD count = 0;
  if (libraries.enumerate == nullptr || libraries.free_memory == nullptr ||
      libraries.query_token == nullptr ||
      libraries.enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count) == FALSE)
    return found;
  for (DWORD index = 0; index < count; ++index) {
    if (list[index].State != WTSActive && list[index].State != WTSDisconnected) continue;
    UserSession session;
    session.id = list[index].SessionId;
    if (libraries.query_token(session.id, session.token.put()) == FALSE) {
      // A session with nobody logged on has no token; one that is not handed out is told.
      session.error = GetLastError();
      session.token.reset();
      if (session.error == ERROR_NO_TOKEN) continue;
    } else {
      session.sid = sid_of(session.token.get());
    }
    found.push_back(std::move(session));
  }
  libraries.free_memory(list);
  return found;
}

DWORD start_in_session(HANDLE token, const char* program, const char* log_path,
                       base::unique_handle& process) {
  std::string command = "\"";
  command.append(program).append("\" ").append(logon_switch).append(" session ").append(log_path);
  const SessionLibraries libraries;
  void* environment = nullptr;
  if (libraries.create_environment == nullptr || libraries.destroy_environment == nullptr)
    return ERROR_PROC_NOT_FOUND;
  if (libraries.create_environment(&environment, token, FALSE) == FALSE) return GetLastError();
  char desktop[] = "winsta0\\default";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION started{};
  const BOOL created =
      CreateProcessAsUserA(token, program, command.data(), nullptr, nullptr, FALSE,
                           CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment, nullptr,
                           &startup, &started);
  const DWORD error = created != FALSE ? ERROR_SUCCESS : GetLastError();
  libraries.destroy_environment(environment);
  if (created == FALSE) return error;
  CloseHandle(started.hThread);
  process.reset(started.hProcess);
  return ERROR_SUCCESS;
}

bool process_ended(HANDLE process, DWORD limit_ms, DWORD& exit_code) {
  return WaitForSingleObject(process, limit_ms) == WAIT_OBJECT_0 &&
         GetExitCodeProcess(process, &exit_code) != FALSE;
}

// A session's log: made here, new, under a name of this run's own in the system's temporary
// folder, which of the users only the session's may read and write (the system and the
// administrators may do anything with it). A name a user made first is no log of this run's:
// the session does without.
class SessionLog {
 public:
  SessionLog(DWORD session, const std::string& sid) {
    char directory[base::path_capacity];
    const UINT length = GetWindowsDirectoryA(directory, sizeof directory);
    char name[96];
    std::snprintf(name, sizeof name, "\\Temp\\Merivane removal session %lu.%lu.%lu.log", session,
                  GetCurrentProcessId(), GetTickCount());
    if (length == 0 || length >= sizeof directory || !base::append_path(directory, name)) return;
    SecurityFromText security("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFW;;;" + sid + ")");
    if (security.attributes() == nullptr) return;
    file_.reset(CreateFileA(directory, GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            security.attributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file_) path_ = directory;
  }
  ~SessionLog() {
    if (!file_) return;
    file_.reset();
    DeleteFileA(path_.c_str());
  }
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;

  const std::string& path() const { return path_; }

  // Its lines, each behind its session, as the part wrote them.
  void take(DWORD session, RunLog& log) const {
    constexpr DWORD most = 1 << 20;
    LARGE_INTEGER size{};
    if (!file_ || GetFileSizeEx(file_.get(), &size) == FALSE || size.QuadPart > most) return;
    std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (ReadFile(file_.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr) ==
        FALSE)
      return;
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

 private:
  base::unique_file file_;
  std::string path_;
};

}  // namespace

const FleetSystem& win32_fleet_system() {
  static const FleetSystem fleet{removal::person_profiles, removal::remove_from_profile,
                                 logged_on_sessions,       place_lasting_copy,
                                 register_for_logon,       start_in_session,
                                 process_ended,            session_part_limit_ms};
  return fleet;
}

PartsReady FleetParts::get_ready(const char*, Mode, RunLog* log) {
  log_ = log;
  if (log_ != nullptr) {
    const std::string own = own_user_sid_text();
    const std::string account = own.empty() ? std::string("?") : own;
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
      // What a link kept this run from is the user's own part's, at logon.
      const auto told = [](bool removed, bool link) {
        return removed ? std::string("removed")
                       : link ? std::string("left_to_logon reason=link") : std::string("left");
      };
      std::string text = "profile sid=" + profile.sid +
                         " folder=" + log_quoted(profile.folder.c_str()) +
                         " hive=" + reach_text(outcome.hive);
      if (outcome.hive == removal::HiveReach::unavailable)
        text += " hive_error=" + std::to_string(outcome.hive_error) + " left_to=logon";
      if (outcome.hive_unload_error != 0)
        text += " hive_unload_failed code=" + std::to_string(outcome.hive_unload_error);
      text += " settings=" + told(outcome.settings_removed, outcome.settings_link) +
              " shortcut=" + told(outcome.shortcut_removed, outcome.shortcut_link) +
              " desktop=" + log_quoted(outcome.desktop.c_str());
      log_->fleet_line(text);
    }
    people.push_back({std::move(profile), outcome.settings_removed && outcome.shortcut_removed});
  }
  // Registered before the sessions run, so that a session's run that is done marks the
  // registration in force as done for its user; told after them. Both name a copy of the
  // program that lasts, in a folder only administrators can write.
  std::string version;
  unsigned long error = 0;
  const LastingCopy program = fleet_.place_program();
  registered_ =
      !program.program.empty() && fleet_.register_for_logon(program.program, version, error);
  run_sessions(people, program.program);
  if (log_ != nullptr) {
    if (registered_)
      log_->fleet_line(std::string("logon_registered component=") + active_setup_component +
                       " version=" + version + " program=" + log_quoted(program.program.c_str()));
    else if (program.program.empty())
      log_->fleet_line(std::string("logon_registration_failed reason=") + program.reason +
                       " code=" + std::to_string(program.error));
    else
      log_->fleet_line("logon_registration_failed code=" + std::to_string(error));
  }
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

void FleetParts::run_sessions(std::vector<Person>& people, const std::string& program) {
  struct Started {
    UserSession session;
    std::unique_ptr<SessionLog> log;
    base::unique_handle process;
    DWORD error = ERROR_SUCCESS;  // why it was not started
  };
  // Every session's part at once, then all waited for within the one bound.
  std::vector<Started> started;
  for (UserSession& session : fleet_.sessions()) {
    Started part;
    part.session = std::move(session);
    if (!part.session.token)
      part.error = part.session.error != 0 ? part.session.error : ERROR_NO_TOKEN;
    else if (program.empty())
      part.error = ERROR_FILE_NOT_FOUND;  // no lasting copy of the program to run there
    else if (part.log = std::make_unique<SessionLog>(part.session.id, part.session.sid);
             part.log->path().empty())
      part.error = ERROR_FILE_EXISTS;
    else
      part.error = fleet_.start_user_part(part.session.token.get(), program.c_str(),
                                          part.log->path().c_str(), part.process);
    started.push_back(std::move(part));
  }
  const DWORD begun = GetTickCount();
  // A person's Outlook part is done now only in a session of the person's that ended well.
  std::vector<std::string> done_in_session;
  for (Started& part : started) {
    std::string text = "session id=" + std::to_string(part.session.id);
    if (!part.session.sid.empty()) text += " sid=" + part.session.sid;
    DWORD exit_code = 1603;
    if (part.error != ERROR_SUCCESS) {
      text += " not_started code=" + std::to_string(part.error);
    } else {
      text += " process=" + std::to_string(GetProcessId(part.process.get()));
      const DWORD spent = GetTickCount() - begun;
      const DWORD left = spent < fleet_.session_limit_ms ? fleet_.session_limit_ms - spent : 0;
      // One not done in time is left running: its own limits end it, and the logon takes
      // what it leaves.
      if (fleet_.ended(part.process.get(), left, exit_code))
        text += " exit_code=" + std::to_string(exit_code);
      else
        text += " timed_out_ms=" + std::to_string(fleet_.session_limit_ms);
    }
    if (exit_code == 0)
      done_in_session.push_back(part.session.sid);
    else
      text += " left_to=logon";
    if (log_ != nullptr) {
      log_->fleet_line(text);
      if (part.error == ERROR_SUCCESS) part.log->take(part.session.id, *log_);
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
