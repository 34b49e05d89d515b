#pragma once
// What the tests read back, and the registry's word on MAPI.

#include <windows.h>

#include <string>

#include "testbed/machine/text_lines.h"

namespace test_support {

using testbed::count_with;
using testbed::lines_with;
using testbed::position_of;
using testbed::read_lines;

// Sets "MAPIX" under the messaging subsystem's key of the machine.
void set_mapix(DWORD type, const std::string& bytes);
// The string value text, with its terminating zero.
void set_mapix(const char* text);

}  // namespace test_support
