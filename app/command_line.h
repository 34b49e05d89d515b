#pragma once
// What the program does is decided by its command line alone. No Windows header is needed
// here, so this also builds natively for fuzzing.

namespace app {

// The command line less the program's name and the blanks that follow it. A name that starts
// with a double quote runs to the next one; otherwise to the first byte of code 32 or less.
// Bytes are taken as unsigned, so a name with non-ASCII bytes is not cut short.
const char* argument_string(const char* command_line);

enum class Command {
  launch_setup,  // empty: start the add-in's own setup
  uninstall,     // "%" and the installation directory
  nothing,       // anything else
};

// Only the first character decides.
Command command_for(const char* arguments);

}  // namespace app
