#include "testbed/machine/uninstaller_run.h"

#include "base/unique_any.h"

namespace testbed {

UninstallerRun run_uninstaller(const SimulatedMachine& machine, const std::string& command_line,
                               const DriverOptions& options, const std::string& directory) {
  UninstallerRun run;
  const auto variables = machine.environment();
  for (const auto& [name, value] : variables) SetEnvironmentVariableA(name.c_str(), value.c_str());
  std::string line = command_line;  // CreateProcessA may write into it
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  run.started = CreateProcessA(machine.uninstaller().c_str(), line.data(), nullptr, nullptr, FALSE,
                               0, nullptr, directory.empty() ? nullptr : directory.c_str(),
                               &startup, &started) != FALSE;
  for (const auto& [name, value] : variables) SetEnvironmentVariableA(name.c_str(), nullptr);
  if (!run.started) return run;
  const base::unique_handle process(started.hProcess), thread(started.hThread);
  run.report = drive(process.get(), started.dwProcessId, options);
  if (run.report.timed_out) TerminateProcess(process.get(), 1);
  WaitForSingleObject(process.get(), 10000);
  GetExitCodeProcess(process.get(), &run.exit_code);
  return run;
}

}  // namespace testbed
