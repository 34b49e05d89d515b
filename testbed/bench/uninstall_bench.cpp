// A whole uninstall of the demo machine with 10,000 of the add-in's tasks, driven through
// its windows, next to its floor: the pauses the sequence must make (three of 1000 ms, and
// 1000 ms more when it opens the notes document).
//
// Prints "uninstall above floor: N ms" and "uninstall peak working set: N KiB". The time runs
// from the start of the process to its end, and includes the driver answering the two boxes
// (it looks every 5 ms).
//
// uninstall_bench quiet: the same removal run with /quiet, which has no pauses to make; prints
// "quiet uninstall: N ms", from the start of the process to its end.

#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "base/unique_any.h"
#include "testbed/machine/installation.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/uidriver/driver.h"
#include "testbed/machine/text_lines.h"

namespace {

SIZE_T peak_kib(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize / 1024;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quiet = argc > 1 && std::string(argv[1]) == "quiet";
  testbed::SimulatedMachine machine;
  // 10,000 of the add-in's tasks: 6 task folders of 1,667 (the demo's two stores).
  machine.lay(testbed::program_directory(), testbed::demo_profile(1667));
  for (const auto& [name, value] : machine.environment())
    SetEnvironmentVariableA(name.c_str(), value.c_str());
  // The stand-ins' call log is the tests' and would be timed with the program.
  SetEnvironmentVariableA("MERIVANE_STANDIN_LOG", nullptr);

  std::string command_line =
      "\"" + machine.uninstaller() + "\" " + (quiet ? "/quiet " : "") + "%" + machine.install_dir;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  LARGE_INTEGER frequency, begin, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&begin);
  if (!CreateProcessA(machine.uninstaller().c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      0, nullptr, nullptr, &startup, &started)) {
    std::fprintf(stderr, "cannot start %s\n", machine.uninstaller().c_str());
    return 1;
  }
  const base::unique_handle process(started.hProcess), thread(started.hThread);

  // The process's own peak, read while it runs: an ended process may not answer.
  std::atomic<bool> running{true};
  std::atomic<SIZE_T> peak{0};
  std::thread watcher([&] {
    while (running.load()) {
      const SIZE_T now = peak_kib(process.get());
      if (now > peak.load()) peak.store(now);
      Sleep(5);
    }
  });
  testbed::Report report;
  if (!quiet) {
    testbed::DriverOptions options;
    options.sample_every_ms = 5;
    report = testbed::drive(process.get(), started.dwProcessId, options);
  }
  WaitForSingleObject(process.get(), INFINITE);
  QueryPerformanceCounter(&end);
  running.store(false);
  watcher.join();

  const double elapsed_ms = 1000.0 * static_cast<double>(end.QuadPart - begin.QuadPart) /
                            static_cast<double>(frequency.QuadPart);
  if (quiet) {
    DWORD exit_code = 1;
    GetExitCodeProcess(process.get(), &exit_code);
    std::size_t left = 0;
    for (const std::string& line : testbed::describe_installation(machine.install_dir))
      left += line.rfind("present", 0) == 0;
    std::printf("quiet uninstall: %.0f ms (exit code %lu, %zu items left)\n", elapsed_ms, exit_code,
                left);
    std::printf("quiet peak working set: %zu KiB\n", static_cast<std::size_t>(peak.load()));
    return exit_code == 0 && left == 0 ? 0 : 1;
  }
  const bool opened_document = !testbed::read_lines(machine.recorder_log()).empty();
  const double floor_ms = 3000.0 + (opened_document ? 1000.0 : 0.0);
  std::printf("uninstall wall time: %.0f ms (floor %.0f ms, final message: %s)\n", elapsed_ms,
              floor_ms, report.final_box.text.substr(0, 40).c_str());
  std::printf(
      "uninstall confirmation shown at: %lu ms, dialog at: %lu ms, final message at: %lu ms, "
      "driver ended at: %lu ms\n",
      report.confirmation.at_ms, report.dialog_first_ms, report.final_box.at_ms, report.total_ms);
  std::printf("uninstall above floor: %.0f ms\n", elapsed_ms - floor_ms);
  std::printf("uninstall peak working set: %zu KiB\n", static_cast<std::size_t>(peak.load()));
  return report.timed_out ? 1 : 0;
}
