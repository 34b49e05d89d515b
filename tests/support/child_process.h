#pragma once
// Tests that need a process of their own (a process-wide latch, a library that must be
// missing) run in a child: this test program again, or a copy of it elsewhere, with a filter.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "testbed/machine/elevation.h"

namespace test_support {

using Environment = std::vector<std::pair<std::string, std::string>>;

// The full name of the running test program.
std::string own_program();

// True in a child started by run_child.
bool is_child();

// Runs program (default: this one) with --gtest_filter=filter and the variables set, with
// this process's token or the limited one, waits at most a minute, and returns its exit code;
// 0xFFFFFFFF when it could not run or timed out, no_test_ran when it passed without a test
// passing (none selected, or all skipped).
inline constexpr DWORD no_test_ran = 0xFFFFFFFE;
DWORD run_child(const std::string& filter, const Environment& environment = {},
                const std::string& program = own_program(),
                testbed::Token token = testbed::Token::own);

// The program under test (UninstallMV.exe beside this one) started with these arguments; false
// when it could not be.
bool start_program(const std::string& arguments, base::unique_handle& process);

}  // namespace test_support

// Starts a test body that runs only inside a child.
#define CHILD_ONLY() \
  if (!test_support::is_child()) GTEST_SKIP() << "runs inside a child"
