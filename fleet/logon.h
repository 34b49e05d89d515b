#pragma once
// A user's part left to that user's next logon: registered with the platform's own logon
// mechanisms (an Active Setup component, which the shell runs for each user before the
// desktop appears, and the user's RunOnce, which it runs after), and the two runs they start.

#include <string>

#include "base/path_text.h"
#include "sequence/mode.h"
#include "sequence/uninstall.h"

namespace app {

// The switch of the runs the logon starts; no user types it.
inline constexpr char logon_switch[] = "/merivane-logon";
inline constexpr char active_setup_component[] = "{7E0C4F52-9A1B-4B86-8D3E-4D6572697661}";
inline constexpr char run_once_name[] = "Merivane removal";

// The user's part's log: under the user's local application data, where an administrator
// finds it for each user.
bool user_part_log_path(char (&path)[base::path_capacity]);

// Registers the component for every user (in the 64-bit view from either build), with a
// version of this registration's own, so that a later removal reaches users a former one
// reached already. False, with the platform's error, when it cannot be written.
bool register_for_logon(std::string& version, unsigned long& error);

// "stub": run by Active Setup before the desktop: leaves the user's part to RunOnce, which runs
// after the desktop is up, and returns at once. "user": the user's part, unattended and
// logged; when it cannot finish it is left to the next logon again. log_path overrides the
// log's place. The steps are the system's. Answers the exit code.
int run_at_logon(const char* arguments, const UninstallSystem& system);

}  // namespace app
