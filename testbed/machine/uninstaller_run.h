#pragma once
// Starts the simulated machine's uninstaller with an exact raw command line and drives it
// through its windows to its end: what the end-to-end tests, the fault sweep and the demo's
// checks all do.

#include <windows.h>

#include <string>

#include "base/unique_any.h"
#include "testbed/machine/elevation.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/uidriver/driver.h"

namespace testbed {

struct UninstallerRun {
  bool started = false;
  Report report;
  DWORD exit_code = 0xFFFFFFFF;
  DWORD process_id = 0;  // of the program started; the stand-ins' logs name it
};

// The machine's variables are in the program's environment. A program still running when the
// driver gives up is ended, so that the next run finds the machine free. An empty directory
// runs it in this process's current directory. With options.limited_token it runs with the
// limited token, and a run that cannot have one is not started.
UninstallerRun run_uninstaller(const SimulatedMachine& machine, const std::string& command_line,
                               const DriverOptions& options = {},
                               const std::string& directory = "");

// Starts it the same way and leaves it alone: for runs that show no window. Empty when it
// could not be started, with Token::limited also when there is no limited token.
base::unique_handle start_uninstaller(const SimulatedMachine& machine,
                                      const std::string& command_line,
                                      const std::string& directory = "",
                                      DWORD* process_id = nullptr, Token token = Token::own);

}  // namespace testbed
