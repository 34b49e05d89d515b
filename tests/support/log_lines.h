#pragma once
// What the tests read back, and the registry's word on MAPI.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "testbed/machine/text_lines.h"

namespace test_support {

using testbed::count_with;
using testbed::lines_with;
using testbed::position_of;
using testbed::read_lines;

// One line of the program's log, read as a reader of the log reads it: its timestamp, its event,
// the bare words after the event and its fields, name=value, a value bare up to the next blank
// or in double quotes with \" \\ and \xHH inside.
struct LogLine {
  std::string stamp;
  std::string event;
  std::vector<std::string> words;
  std::map<std::string, std::string> fields;
  // False for a control byte in the line, a quote left open, an escape of anything else, a
  // closing quote with more than a blank behind it, or a field named twice.
  bool well_formed = true;
};

// text without its line end.
LogLine parse_log_line(const std::string& text);
// Each of the file's lines, which must end in CR LF and begin with a timestamp.
std::vector<LogLine> parse_log(const std::string& path);

// Sets "MAPIX" under the messaging subsystem's key of the machine.
void set_mapix(DWORD type, const std::string& bytes);
// The string value text, with its terminating zero.
void set_mapix(const char* text);

}  // namespace test_support
