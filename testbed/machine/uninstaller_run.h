#pragma once
// Starts the simulated machine's uninstaller with an exact raw command line and drives it
// through its windows to its end: what the end-to-end tests, the fault sweep and the demo's
// checks all do.

#include <windows.h>

#include <string>

#include "base/unique_any.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/uidriver/driver.h"

namespace testbed {

struct UninstallerRun {
  bool started = false;
  Report report;
  DWORD exit_code = 0xFFFFFFFF;
};

// The machine's variables are in the program's environment. A program still running when the
// driver gives up is ended, so that the next run finds the machine free. An empty directory
// runs it in this process's current directory.
UninstallerRun run_uninstaller(const SimulatedMachine& machine, const std::string& command_line,
                               const DriverOptions& options = {},
                               const std::string& directory = "");

// Starts it the same way and leaves it alone: for runs that show no window. Empty when it
// could not be started.
base::unique_handle start_uninstaller(const SimulatedMachine& machine,
                                      const std::string& command_line,
                                      const std::string& directory = "",
                                      DWORD* process_id = nullptr);

}  // namespace testbed
