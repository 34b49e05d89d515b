#include "testbed/machine/uninstaller_run.h"

namespace testbed {

base::unique_handle start_uninstaller(const SimulatedMachine& machine,
                                      const std::string& command_line, const std::string& directory,
                                      DWORD* process_id, Token token) {
  const auto variables = machine.environment();
  for (const auto& [name, value] : variables) SetEnvironmentVariableA(name.c_str(), value.c_str());
  std::string line = command_line;  // CreateProcessA may write into it
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  const bool ok = create_process(token, machine.uninstaller().c_str(), line, FALSE, 0,
                                 directory.empty() ? nullptr : directory.c_str(), startup, started);
  for (const auto& [name, value] : variables) SetEnvironmentVariableA(name.c_str(), nullptr);
  if (!ok) return {};
  const base::unique_handle thread(started.hThread);
  if (process_id != nullptr) *process_id = started.dwProcessId;
  return base::unique_handle(started.hProcess);
}

UninstallerRun run_uninstaller(const SimulatedMachine& machine, const std::string& command_line,
                               const DriverOptions& options, const std::string& directory) {
  UninstallerRun run;
  DWORD process_id = 0;
  const base::unique_handle process =
      start_uninstaller(machine, command_line, directory, &process_id,
                        options.limited_token ? Token::limited : Token::own);
  run.started = bool(process);
  if (!run.started) return run;
  run.process_id = process_id;
  run.report = drive(process.get(), process_id, options);
  if (run.report.timed_out) TerminateProcess(process.get(), 1);
  WaitForSingleObject(process.get(), 10000);
  GetExitCodeProcess(process.get(), &run.exit_code);
  return run;
}

}  // namespace testbed
