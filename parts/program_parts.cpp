#include "parts/program_parts.h"

#include <shellapi.h>

#include <vector>

#include "base/own_directory.h"
#include "base/path_text.h"

namespace app {

namespace {

// How long the sequence's process waits for the other to end once told the removal is over.
constexpr DWORD other_end_limit_ms = 10000;

struct UserOfToken {
  std::string sid;
  bool elevated = false;
};

// The user and the elevation of a process's token.
bool user_of(HANDLE token, UserOfToken& user) {
  user.sid = user_sid_text(token);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  user.elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) !=
                      FALSE &&
                  elevation.TokenIsElevated != 0;
  return !user.sid.empty();
}

// The token of the process that owns the desktop's shell window.
base::unique_handle shell_token(DWORD access) {
  const HWND shell = GetShellWindow();
  DWORD process_id = 0;
  if (shell == nullptr || GetWindowThreadProcessId(shell, &process_id) == 0) return {};
  const base::unique_handle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  base::unique_handle token;
  if (!process || OpenProcessToken(process.get(), access, token.put()) == FALSE) return {};
  return token;
}

ShellStanding shell_standing(std::string& user_sid) {
  const base::unique_handle shell = shell_token(TOKEN_QUERY);
  base::unique_handle own;
  UserOfToken shell_user, own_user;
  if (!shell || OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, own.put()) == FALSE ||
      !user_of(shell.get(), shell_user) || !user_of(own.get(), own_user))
    return ShellStanding::none;
  user_sid = shell_user.sid;
  return shell_user.sid == own_user.sid && shell_user.elevated ? ShellStanding::as_this
                                                                : ShellStanding::other_level;
}

DWORD start_elevated(const char* parameters, base::unique_handle& process) {
  char path[base::path_capacity];
  if (!base::own_program_path(path)) return ERROR_FILENAME_EXCED_RANGE;
  SHELLEXECUTEINFOA execute{};
  execute.cbSize = sizeof execute;
  execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  execute.lpVerb = "runas";
  execute.lpFile = path;
  execute.lpParameters = parameters;
  execute.nShow = SW_HIDE;
  if (ShellExecuteExA(&execute) == FALSE) return GetLastError();
  process.reset(execute.hProcess);
  return process ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

std::vector<wchar_t> wide(const char* text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::vector<wchar_t> converted(length > 0 ? static_cast<std::size_t>(length) : 1, L'\0');
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, converted.data(), length);
  return converted;
}

DWORD start_as_shell_user(const char* parameters, base::unique_handle& process) {
  char path[base::path_capacity];
  if (!base::own_program_path(path)) return ERROR_FILENAME_EXCED_RANGE;
  const base::unique_handle shell = shell_token(TOKEN_DUPLICATE | TOKEN_QUERY);
  base::unique_handle token;
  if (!shell || DuplicateTokenEx(shell.get(),
                                 TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                                     TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                                 nullptr, SecurityImpersonation, TokenPrimary,
                                 token.put()) == FALSE)
    return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_NOT_FOUND;
  std::vector<wchar_t> application = wide(path);
  std::string line = "\"";
  line.append(path).append("\" ").append(parameters);
  std::vector<wchar_t> command = wide(line.c_str());
  wchar_t desktop[] = L"winsta0\\default";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION started{};
  if (CreateProcessWithTokenW(token.get(), 0, application.data(), command.data(), 0, nullptr,
                              nullptr, &startup, &started) == FALSE)
    return GetLastError();
  CloseHandle(started.hThread);
  process.reset(started.hProcess);
  return ERROR_SUCCESS;
}

std::string code_text(DWORD code) { return std::to_string(code); }

DWORD process_id_of(HANDLE process) { return GetProcessId(process); }

}  // namespace

const PartProcesses& win32_part_processes() {
  static const PartProcesses processes{own_token_facts, shell_standing, start_elevated,
                                       start_as_shell_user, process_id_of};
  return processes;
}

ProgramParts::~ProgramParts() {
  if (!other_) return;
  other_->finish();
  WaitForSingleObject(process_.get(), other_end_limit_ms);
}

DWORD ProgramParts::start_other(const char* kind, const char* install_dir,
                                const std::string& user_sid) {
  const std::string name = part_pipe_name(GetCurrentProcessId(), GetTickCount());
  if (!pipe_.create(name.c_str(), user_sid.c_str())) return GetLastError();
  std::string parameters = part_switch;
  parameters.append(" ").append(kind).append(" ").append(name).append(" ");
  parameters += std::to_string(GetCurrentProcessId());
  // The elevated copy removes the directory it is started for, which the elevation prompt
  // shows, and no other.
  const bool elevated = install_dir != nullptr;
  if (elevated) parameters.append(" %").append(install_dir);
  const DWORD started = elevated ? processes_.start_elevated(parameters.c_str(), process_)
                                 : processes_.start_as_shell_user(parameters.c_str(), process_);
  if (started != ERROR_SUCCESS) return started;
  pipe_.watch(process_.get());
  if (!pipe_.wait_for_connection(connect_limit_ms)) return ERROR_PIPE_NOT_CONNECTED;
  // Anyone who may open the pipe could have come first: only the process started is served.
  if (!pipe_.client_is(processes_.process_id(process_.get()))) return ERROR_ACCESS_DENIED;
  other_.emplace(pipe_);
  return ERROR_SUCCESS;
}

PartsReady ProgramParts::get_ready(const char* install_dir, Mode mode, RunLog* log) {
  const auto say = [log](const std::string& text) {
    if (log != nullptr) log->parts_placed(text.c_str());
  };
  std::string shell_user;
  const TokenFacts token = processes_.token_facts();
  // The shell is asked about only where it could matter.
  const ShellStanding shell =
      is_elevated(token) && !token.system ? processes_.shell_standing(shell_user)
                                          : ShellStanding::none;
  switch (route_for(token, mode, shell)) {
    case Route::both_here:
      say(std::string("user=here machine=here") +
          (token.system                    ? " account=system"
           : shell == ShellStanding::none ? " shell=none"
                                          : ""));
      return PartsReady::ready;
    case Route::needs_administrator:
      say("needs_administrator: a quiet removal started without an administrator's rights "
          "cannot ask for them; nothing was changed");
      return PartsReady::needs_administrator;
    case Route::machine_elevated_copy: {
      const DWORD started = start_other("machine", install_dir, "");
      if (started == ERROR_CANCELLED) {
        say("elevation declined: nothing was changed");
        return PartsReady::declined;
      }
      if (started != ERROR_SUCCESS) {
        say("elevation failed code=" + code_text(started) + ": nothing was changed");
        return PartsReady::failed;
      }
      machine_elsewhere_ = true;
      say("user=here machine=elevated_copy process=" +
          std::to_string(GetProcessId(process_.get())));
      return PartsReady::ready;
    }
    case Route::user_in_shell_session: {
      const DWORD started = start_other("user", nullptr, shell_user);
      if (started != ERROR_SUCCESS) {
        // The user's part then runs here, as the elevated account, as it always did.
        say("user=here machine=here shell_session_failed code=" + code_text(started));
        return PartsReady::ready;
      }
      user_elsewhere_ = true;
      say("user=shell_session process=" + std::to_string(GetProcessId(process_.get())) +
          " user_sid=" + shell_user + " machine=here");
      return PartsReady::ready;
    }
  }
  return PartsReady::failed;
}

UserPart& ProgramParts::user() {
  if (user_elsewhere_) return *other_;
  return here_.user();
}

MachinePart& ProgramParts::machine() {
  if (machine_elsewhere_) return *other_;
  return here_.machine();
}

}  // namespace app
