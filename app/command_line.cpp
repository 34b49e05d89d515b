#include "app/command_line.h"

#include <cstring>

namespace app {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The switch that runs from at to end, compared without regard to case.
bool is_switch(const char* at, const char* end, const char* name) {
  const std::size_t length = std::strlen(name);
  if (static_cast<std::size_t>(end - at) != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (lower(at[i]) != name[i]) return false;
  }
  return true;
}

// Reads a log file's name at *at, quoted or up to the next blank, into the switches; *at is
// left behind it.
bool read_log_file(const char*& at, Switches& switches) {
  if (switches.log_file[0] != '\0') return false;  // given twice
  const char* start = at;
  const char* end = nullptr;
  if (*at == '"') {
    start = ++at;
    while (*at != '\0' && *at != '"') ++at;
    if (*at != '"') return false;
    end = at++;
    if (*at != '\0' && !is_blank(*at)) return false;
  } else {
    while (*at != '\0' && !is_blank(*at)) ++at;
    end = at;
  }
  const auto length = static_cast<std::size_t>(end - start);
  if (length == 0 || length >= sizeof switches.log_file) return false;
  std::memcpy(switches.log_file, start, length);
  switches.log_file[length] = '\0';
  return true;
}

}  // namespace

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
  if (arguments[0] == '/') return Command::switches;
  return Command::nothing;
}

bool parse_switches(const char* arguments, Switches& switches) {
  switches = Switches{};
  bool passive = false, quiet = false;
  const char* at = arguments;
  for (;;) {
    while (is_blank(*at)) ++at;
    if (*at == '\0') break;
    if (*at == '%') {
      switches.install_dir = at + 1;
      break;
    }
    if (*at != '/') return false;
    const char* end = at;
    while (*end != '\0' && !is_blank(*end) && *end != ':') ++end;
    if (*end == ':') {
      if (!is_switch(at, end, "/log")) return false;
      at = end + 1;
      if (!read_log_file(at, switches)) return false;
      continue;
    }
    if (is_switch(at, end, "/quiet")) {
      quiet = true;
    } else if (is_switch(at, end, "/passive")) {
      passive = true;
    } else if (is_switch(at, end, "/allusers")) {
      switches.all_users = true;
    } else if (is_switch(at, end, "/?")) {
      switches.help = true;
    } else if (is_switch(at, end, "/log")) {
      at = end;
      while (is_blank(*at)) ++at;
      // A "%" there starts the installation directory: the file is missing.
      if (*at == '\0' || *at == '%' || !read_log_file(at, switches)) return false;
      continue;
    } else {
      return false;
    }
    at = end;
  }
  // A removal for every user asks nobody anything: alone, it shows nothing either.
  switches.mode = quiet                ? Mode::quiet
                  : passive            ? Mode::passive
                  : switches.all_users ? Mode::quiet
                                       : Mode::interactive;
  return true;
}

}  // namespace app
