#pragma once
// Runs given switches on the command line: unattended removal for deployment systems, with a
// log and exit codes, or the interactive run with a log.

#include "sequence/uninstall.h"

namespace app {

// The exit codes of unattended runs, as Windows Installer's.
inline constexpr int exit_success = 0;
inline constexpr int exit_restart_required = 3010;  // done, some files go at the next restart
inline constexpr int exit_install_failure = 1603;
inline constexpr int exit_bad_command_line = 87;
inline constexpr int exit_log_failure = 1622;
inline constexpr int exit_another_removal = 1618;  // Windows Installer's "another installation"
inline constexpr int exit_user_cancelled = 1602;   // the elevation prompt was declined

// command_line is the whole command line, for the log; arguments its argument string, which
// starts with "/". Answers the process's exit code: 0 for every interactive run. Without parts
// given, both run here.
// A removal for every user (/allusers, or any run as the system account) asks fleet's parts.
class FleetParts;
int run_with_switches(const char* command_line, const char* arguments,
                      const UninstallSystem& system = win32_uninstall_system(),
                      RemovalParts* parts = nullptr, FleetParts* fleet = nullptr);

// The exit code of an unattended run that ended so.
int unattended_exit_code(const RunOutcome& outcome, Mode mode);

}  // namespace app
