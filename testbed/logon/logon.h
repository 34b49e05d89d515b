#pragma once
// What the shell does when Wine's one user logs on, played on demand: Wine has no Active
// Setup, and runs the Run and RunOnce keys only when a prefix starts.
//
// First every Active Setup component of the machine (the 64-bit view) that is installed and
// has a StubPath runs its stub, when the user's stamp of it is missing or older; the stamp is
// then set. Then the RunOnce values of HKLM and HKCU, each deleted before its command runs,
// and the Run values of HKLM and HKCU. Every command runs with the user's limited token, as
// the shell runs them for an administrator whose rights are not in use, and is waited for
// within a bound; the real shell waits for the stubs only.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace testbed {

inline constexpr char active_setup_key[] =
    "Software\\Microsoft\\Active Setup\\Installed Components";
inline constexpr char run_once_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
inline constexpr char run_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// One command the logon ran.
struct LogonCommand {
  // "active_setup <component>", or "<HKLM|HKCU> <RunOnce|Run> <value name>".
  std::string entry;
  std::string command;  // as started: a REG_EXPAND_SZ's variables expanded
  bool started = false;
  DWORD error = ERROR_SUCCESS;  // why it was not started
  // The started process's token: "limited", "full", "default", or "unknown" when unread.
  std::string elevation;
  DWORD exit_code = STILL_ACTIVE;
  bool timed_out = false;  // still running at the bound, and ended then (exit code 1)
  DWORD milliseconds = 0;  // from its start to its end, or to the bound
};

struct LogonOptions {
  // Set for the commands, over this process's own variables of the same names.
  std::vector<std::pair<std::string, std::string>> environment;
  DWORD timeout_ms = 60000;  // for each command
};

// Plays one logon and tells what ran, in the order it ran. A component or value that cannot
// be read, or is empty, runs nothing. Throws, having changed nothing, when this process has no
// limited token to give (it runs limited itself, or its token has a limited one linked).
std::vector<LogonCommand> play_logon(const LogonOptions& options = {});

// One line: ran entry="..." command="..." then started=no error=N, or exit_code=N ms=N
// elevation=... and timed_out=yes when it was ended. Texts are quoted with \" and \\, and
// \xHH for control characters.
std::string logon_record_text(const LogonCommand& command);

// Active Setup's versions: up to four comma-separated numbers, a missing or unreadable part
// counting as 0. Below 0, 0 or above 0 as a is older than, equal to or newer than b.
int compare_component_versions(const std::string& a, const std::string& b);

}  // namespace testbed
