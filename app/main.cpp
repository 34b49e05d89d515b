// UninstallMV.exe: "%<installation directory>" uninstalls Merivane; switches ("/quiet",
// "/passive", "/log <file>", "/?") run it unattended or with a log; an empty command line
// starts its setup; anything else does nothing and exits 87, as a bad switch list does. The
// exit code is 0 for interactive runs.

#include <windows.h>

#include <cstring>
#include <string>

#include "app/command_line.h"
#include "app/launch.h"
#include "app/unattended.h"
#include "base/module.h"
#include "fleet/fleet.h"
#include "fleet/logon.h"
#include "parts/part_channel.h"
#include "parts/program_parts.h"
#include "sequence/app_instance.h"
#include "sequence/removal_lock.h"
#include "sequence/uninstall.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  app::app_instance = instance;
  // Elevated, the program must not load a library planted in its own directory.
  base::restrict_library_search();
  // Taken from the process's own command line rather than the start-up code's copy, so that
  // a program name with non-ASCII bytes is skipped whole.
  const char* command_line = GetCommandLineA();
  const char* arguments = app::argument_string(command_line);
  // A part of a removal that another process of the program runs: that process holds the
  // removal's lock and shows and logs whatever there is.
  if (std::strncmp(arguments, app::part_switch, sizeof app::part_switch - 1) == 0) {
    app::LocalParts here(app::win32_uninstall_system());
    return app::serve_part_from_arguments(arguments + sizeof app::part_switch - 1, here.user(),
                                          here.machine())
               ? 0
               : app::exit_bad_command_line;
  }
  // A user's part that a logon runs: per user, and no removal of the machine's.
  if (std::strncmp(arguments, app::logon_switch, sizeof app::logon_switch - 1) == 0)
    return app::run_at_logon(arguments + sizeof app::logon_switch - 1,
                             app::win32_uninstall_system());
  const app::UninstallSystem& system = app::win32_uninstall_system();
  const app::TokenFacts token = app::own_token_facts();
  app::unique_removal_lock lock, user_part_lock;
  // The system account is only ever a deployment system's, with nobody to answer a box: its
  // "%<dir>" is a removal for every user too.
  std::string for_every_user;
  if (token.system && app::command_for(arguments) == app::Command::uninstall) {
    for_every_user = std::string("/allusers ") + arguments;
    arguments = for_every_user.c_str();
  }
  switch (app::command_for(arguments)) {
    case app::Command::launch_setup:
      app::launch_program("merivane.exe", "/Setup");
      return 0;
    case app::Command::uninstall:
      // Another removal is running, or the user's part left to a logon: this one shows nothing
      // and leaves it to that one.
      if (!app::take_removal_lock(lock) || !app::take_user_part_lock(user_part_lock)) return 0;
      try {
        app::ProgramParts parts(system);
        app::run_uninstall(arguments + 1, system, app::Mode::interactive, nullptr, parts);
      } catch (...) {
        // Nothing is reported and the exit code stays 0; the steps absorb their own failures.
      }
      return 0;
    case app::Command::switches: {
      app::ProgramParts parts(system);
      app::FleetParts fleet(system, token);
      return app::run_with_switches(command_line, arguments, system, &parts, &fleet);
    }
    case app::Command::nothing:
      // Not read as a removal that succeeded, which a deployment system would report.
      return app::exit_bad_command_line;
  }
  return 0;
}
