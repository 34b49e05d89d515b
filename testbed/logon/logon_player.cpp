// logon_player [--timeout-ms N]
//
// Plays one logon of Wine's user (testbed/logon/logon.h) with this process's environment and
// prints one line for each command it ran. Exits 0 when every command started and ended
// within its bound, whatever its exit code; 1 otherwise; 2 on a usage error.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "testbed/logon/logon.h"

int main(int argc, char** argv) {
  testbed::LogonOptions options;
  for (int at = 1; at < argc; ++at) {
    const std::string option = argv[at];
    char* end = nullptr;
    if (option == "--timeout-ms" && at + 1 < argc &&
        (options.timeout_ms = std::strtoul(argv[at + 1], &end, 10)) != 0 && *end == '\0') {
      ++at;
      continue;
    }
    std::fprintf(stderr, "usage: logon_player [--timeout-ms N]\n");
    return 2;
  }
  try {
    bool all_ended = true;
    for (const testbed::LogonCommand& command : testbed::play_logon(options)) {
      std::printf("%s\n", testbed::logon_record_text(command).c_str());
      all_ended = all_ended && command.started && !command.timed_out;
    }
    return all_ended ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "logon_player: %s\n", error.what());
    return 1;
  }
}
