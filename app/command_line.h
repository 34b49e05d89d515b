#pragma once
// app/: the program's entry (WinMain), its command line and switches, unattended runs with
// their exit codes, the removal lock, and the launch of the add-in's setup.
//
// What the program does is decided by its command line alone. No Windows header is needed
// here, so this also builds natively for fuzzing.

#include <cstddef>

#include "base/path_text.h"
#include "sequence/mode.h"

namespace app {

// The command line less the program's name and the blanks that follow it. A name that starts
// with a double quote runs to the next one; otherwise to the first byte of code 32 or less.
// Bytes are taken as unsigned, so a name with non-ASCII bytes is not cut short.
const char* argument_string(const char* command_line);

enum class Command {
  launch_setup,  // empty: start the add-in's own setup
  uninstall,     // "%" and the installation directory
  switches,      // "/": switches, then optionally "%" and the installation directory
  nothing,       // anything else
};

// Only the first character decides.
Command command_for(const char* arguments);

// A list of switches, each case-insensitive and separated by blanks:
//   /quiet  /passive  /log <file>  /log:<file>  /?
// optionally followed by "%" and the installation directory, which runs to the end of the
// text unchanged. A log file may be in double quotes (then it may hold blanks and "%").
struct Switches {
  Mode mode = Mode::interactive;  // /quiet wins over /passive
  bool help = false;
  bool all_users = false;  // the machine's part, and every user's part for its user
  char log_file[base::path_capacity] = {};  // empty: no log
  const char* install_dir = nullptr;        // behind the "%", inside the parsed text; null: none
};

// False for an unknown switch, a /log without a file or given twice, a log file that does
// not fit the path limit, an unclosed quote, or text between the switches and "%" that is
// no switch. arguments is the argument string, starting with "/".
bool parse_switches(const char* arguments, Switches& switches);

}  // namespace app
