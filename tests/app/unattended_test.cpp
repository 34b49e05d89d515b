// Unattended runs through the sequence's fakes: exit codes, the log and the usage.

#include "app/unattended.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "testbed/machine/installation.h"
#include "testbed/machine/text_lines.h"
#include "tests/support/fake_system.h"

namespace {

using test_support::fakes;
using test_support::World;
using test_support::world;

using Unattended = test_support::FreshWorld;

// Exit codes as deployment systems read them. A bad command line, or a log that cannot be
// opened, does nothing at all.
TEST_F(Unattended, SwitchesGiveTheExitCodesOfUnattendedRuns) {
  const std::string directory = "C:\\merivane-tests\\unattended";
  testbed::remove_tree(directory);
  testbed::make_directories(directory);
  const std::string log = directory + "\\run.log";
  const std::string no_log = directory + "\\missing\\run.log";
  struct Case {
    std::string arguments;
    bool files_result;
    int exit_code;
    bool steps_run;
    bool throws = false;
    bool at_restart = false;
  };
  const Case cases[] = {
      {"/quiet /log " + log + " %C:\\M\\", true, 1603, true, true},
      {"/quiet %C:\\M\\", true, 0, true},
      {"/quiet %C:\\M\\", true, 3010, true, false, true},
      {"/passive %C:\\M\\", false, 1603, true, false, true},
      {"/log " + log + " %C:\\M\\", true, 0, true, false, true},
      {"/quiet %C:\\M\\", false, 1603, true},
      {"/passive %C:\\M\\", false, 1603, true},
      {"/log " + log + " %C:\\M\\", false, 0, true},  // interactive: always 0
      {"/quiet /log " + no_log + " %C:\\M\\", true, 1622, false},
      {"/log " + no_log + " %C:\\M\\", true, 0, false},
      {"/quiet /bogus %C:\\M\\", true, 87, false},
      {"/quiet stray %C:\\M\\", true, 87, false},
  };
  for (const Case& c : cases) {
    world = World{};
    world.files_result = c.files_result;
    world.shortcuts_throw = c.throws;
    world.files_at_restart = c.at_restart;
    EXPECT_EQ(app::run_with_switches("UninstallMV.exe", c.arguments.c_str(), fakes), c.exit_code)
        << c.arguments;
    const auto lines = testbed::read_lines(log);
    if (c.arguments.find(log) != std::string::npos && !lines.empty()) {
      EXPECT_NE(lines.back().find(" exit code " + std::to_string(c.exit_code)), std::string::npos)
          << lines.back();
    }
    const bool ran =
        std::find(world.events.begin(), world.events.end(), "outlook") != world.events.end();
    EXPECT_EQ(ran, c.steps_run) << c.arguments;
  }
  // Each run appends: the first run's lines are still there.
  EXPECT_EQ(testbed::count_with(testbed::read_lines(log), {" start "}), 3u);

  // Only a quiet run shows no usage, as nobody would close its box: the usage goes to the log,
  // if any.
  const std::vector<std::string> usage_box = {"box string 9 type 64"};
  const std::pair<std::string, std::vector<std::string>> help_cases[] = {
      {"/?", usage_box}, {"/passive /?", usage_box}, {"/? /quiet /log " + log, {}}};
  for (const auto& [arguments, events] : help_cases) {
    world = World{};
    EXPECT_EQ(app::run_with_switches("UninstallMV.exe", arguments.c_str(), fakes), 0) << arguments;
    EXPECT_EQ(world.events, events) << arguments;
  }
  EXPECT_EQ(testbed::count_with(testbed::read_lines(log), {" usage string 9"}), 1u);
  testbed::remove_tree(directory);
}

}  // namespace
