#include "app/command_line.h"

namespace app {

const char* argument_string(const char* command_line) {
  const auto* at = reinterpret_cast<const unsigned char*>(command_line);
  if (*at == '"') {
    ++at;
    while (*at != '\0' && *at != '"') ++at;
    if (*at == '"') ++at;
  } else {
    while (*at > ' ') ++at;
  }
  while (*at != '\0' && *at <= ' ') ++at;
  return reinterpret_cast<const char*>(at);
}

Command command_for(const char* arguments) {
  if (arguments[0] == '\0') return Command::launch_setup;
  if (arguments[0] == '%') return Command::uninstall;
  return Command::nothing;
}

}  // namespace app
