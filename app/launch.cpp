#include "app/launch.h"

#include <cstdio>
#include <cstring>

#include "base/unique_any.h"

namespace app {

// The 32-bit platform's record sizes; the code itself always uses sizeof.
#ifndef _WIN64
static_assert(sizeof(STARTUPINFOA) == 68);
static_assert(sizeof(PROCESS_INFORMATION) == 16);
#endif

namespace {

constexpr std::size_t command_line_capacity = 1000;

}  // namespace

bool start_process(const char* application, const char* arguments, PROCESS_INFORMATION& process) {
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  char command_line[command_line_capacity];
  const int length =
      std::snprintf(command_line, sizeof command_line, "%s %s", application, arguments);
  // A cut command line would start the program with other arguments than asked.
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof command_line) return false;
  // The bare application name is looked for in the current directory only, not on the path.
  return CreateProcessA(application, command_line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &process) != FALSE;
}

bool launch_program(const char* application, const char* arguments) {
  PROCESS_INFORMATION started{};
  if (!start_process(application, arguments, started)) return false;
  // Declared so that the thread's handle is closed first, then the process's.
  const base::unique_handle process(started.hProcess);
  const base::unique_handle thread(started.hThread);
  return true;
}

}  // namespace app
