#include "app/unattended.h"

#include "app/command_line.h"
#include "fleet/fleet.h"
#include "removal/registry_entries.h"
#include "res/resource.h"
#include "sequence/log_file.h"
#include "sequence/removal_lock.h"

namespace app {

namespace {

constexpr int usage_limit = 1024;

void show_usage(const UninstallSystem& system) {
  char text[usage_limit];
  system.load_string(IDS_USAGE, text, usage_limit);
  system.message_box(text, MB_OK | MB_ICONINFORMATION);
}

}  // namespace

int unattended_exit_code(const RunOutcome& outcome, Mode mode) {
  if (mode == Mode::interactive) return exit_success;
  switch (outcome.parts) {
    case PartsReady::ready:
      break;
    case PartsReady::declined:
      return exit_user_cancelled;
    case PartsReady::needs_administrator:
    case PartsReady::failed:
      return exit_install_failure;
  }
  return outcome.any_step_failed ? exit_install_failure
         : outcome.at_restart    ? exit_restart_required
                                 : exit_success;
}

int run_with_switches(const char* command_line, const char* arguments,
                      const UninstallSystem& system, RemovalParts* parts, FleetParts* fleet) {
  Switches switches;
  if (!parse_switches(arguments, switches)) return exit_bad_command_line;
  // For every user: asked for, or the system account, which only a deployment system runs
  // the program as, and which has no desktop anyone sees.
  const bool for_every_user = fleet != nullptr && (switches.all_users || fleet->system_account());
  if (for_every_user) {
    fleet->by_switch = switches.all_users;
    if (fleet->system_account() || switches.mode == Mode::interactive) switches.mode = Mode::quiet;
    parts = fleet;
  }
  const bool interactive = switches.mode == Mode::interactive;
  // A quiet run has nobody to close a box, which would hold a deployment up until its time-out.
  if (switches.help && switches.mode != Mode::quiet) {
    show_usage(system);
    return exit_success;
  }
  LogFile log;
  if (switches.log_file[0] != '\0' && !log.open(switches.log_file))
    return interactive || switches.help ? exit_success : exit_log_failure;
  if (switches.help) {
    char text[usage_limit];
    system.load_string(IDS_USAGE, text, usage_limit);
    log.started(command_line, switches.mode);
    log.usage(text);
    log.ended(exit_success);
    return exit_success;
  }
  RunLog* const run_log = log.is_open() ? &log : nullptr;
  log.started(command_line, switches.mode);
  // Another removal is running, or (for this user) a user's part left to a logon: nothing is
  // asked or done, and only the log says so. A removal for every user does no user's part here.
  unique_removal_lock lock, user_part_lock;
  const bool taken = take_removal_lock(lock);
  if (!taken || (!for_every_user && !take_user_part_lock(user_part_lock))) {
    log.line(taken ? "another_user_part running" : "another_removal running");
    const int exit_code = interactive ? exit_success : exit_another_removal;
    log.ended(exit_code);
    return exit_code;
  }

  // Without "%", the directory the installer recorded; without that, none: the file step then
  // deletes nothing and fails.
  char recorded[base::path_capacity];
  const char* install_dir = switches.install_dir;
  if (install_dir != nullptr) {
    log.install_dir("command_line", install_dir);
  } else if (removal::read_install_location(recorded)) {
    install_dir = recorded;
    log.install_dir("registry", install_dir);
  } else {
    install_dir = "";
    log.install_dir("none", install_dir);
  }

  RunOutcome outcome;
  LocalParts here(system);
  try {
    outcome = run_uninstall(install_dir, system, switches.mode, run_log,
                            parts != nullptr ? *parts : here);
  } catch (...) {
    // The steps absorb their own failures; anything else is not a removal that succeeded.
    outcome.done = true;
    outcome.any_step_failed = true;
  }
  if (!outcome.done && outcome.parts == PartsReady::ready) log.line("cancelled");
  if (for_every_user && outcome.done) fleet->tell_counts();
  const int exit_code = unattended_exit_code(outcome, switches.mode);
  log.ended(exit_code);
  return exit_code;
}

}  // namespace app
