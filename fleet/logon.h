#pragma once
// A user's part left to that user's next logon: registered with the platform's own logon
// mechanisms (an Active Setup component, which the shell runs for each user before the
// desktop appears, and the user's RunOnce, which it runs after), and the runs they start.

#include <string>

#include "base/path_text.h"
#include "sequence/mode.h"
#include "sequence/uninstall.h"

namespace app {

// The switch of the runs the logon and a fleet's sessions start; no user types it.
inline constexpr char logon_switch[] = "/merivane-logon";
inline constexpr char active_setup_component[] = "{7E0C4F52-9A1B-4B86-8D3E-4D6572697661}";
inline constexpr char run_once_name[] = "Merivane removal";
// The logons at which a part that cannot finish is tried, for each registration and user.
inline constexpr unsigned long logon_tries = 20;

// The user's part's log: under the user's local application data, where an administrator
// finds it for each user.
bool user_part_log_path(char (&path)[base::path_capacity]);

// Registers the component for every user (in the 64-bit view from either build), its stub
// naming program, with a version newer than any registered before, so that a later removal
// reaches users a former one reached already. False, with the platform's error, when it
// cannot be written.
bool register_for_logon(const std::string& program, std::string& version, unsigned long& error);

// "stub": run by Active Setup before the desktop: leaves the user's part to RunOnce, which runs
// after the desktop is up, and returns at once. "user": the user's part at a logon,
// unattended and logged; when it cannot finish it is left to the next logon again, up to
// logon_tries logons. "session <log path>": the same, started by a removal for every user in a
// session where the user is logged on, logging to the path given. A stub or logon run that
// finds Merivane installed again does nothing of the user's. The steps are the system's.
// Answers the exit code.
int run_at_logon(const char* arguments, const UninstallSystem& system);

}  // namespace app
