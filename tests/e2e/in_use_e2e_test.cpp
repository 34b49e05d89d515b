// The real UninstallMV.exe while a program holds one of the add-in's files: what it leaves
// for the next restart, and (with tests/e2e/restart.sh, which restarts the prefix between
// the two) that the restart finishes the removal and spares a reinstallation made before it.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/unique_any.h"
#include "testbed/machine/installation.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/machine/uninstaller_run.h"
#include "tests/e2e/small_profile.h"
#include "tests/support/log_lines.h"
#include "tests/support/saved_state.h"

namespace {

const testbed::SimulatedMachine machine;
const std::string directory = machine.install_dir.substr(0, machine.install_dir.size() - 1);
const std::string parent = directory.substr(0, directory.rfind('\\'));
const std::string held = machine.install_dir + "Merivane.exe";

class InUse : public ::testing::Test {
 protected:
  void SetUp() override {
    machine.lay(testbed::program_directory(), e2e::small_profile);
    testbed::forget_pending_deletions();
  }
  // The restart script keeps what the platform is to delete for the prefix's restart.
  void TearDown() override {
    if (std::getenv("MERIVANE_KEEP_PENDING") == nullptr) saved_.restore();
  }

  // Runs the program while the file is open without FILE_SHARE_DELETE, as a running add-in
  // or a virus scanner holds it.
  testbed::UninstallerRun run_while_held(const std::string& arguments) {
    const base::unique_file handle(CreateFileA(held.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(handle);
    const auto result = testbed::run_uninstaller(
        machine, "\"" + machine.uninstaller() + "\" " + arguments + machine.install_dir);
    EXPECT_FALSE(result.report.timed_out) << testbed::report_text(result.report);
    return result;
  }

  const test_support::SavedValue saved_ = test_support::SavedValue::of(
      HKEY_LOCAL_MACHINE, testbed::session_manager_key, testbed::pending_renames_value);
};

const std::vector<std::string> in_restart_order = {"\\??\\" + held, "\\??\\" + directory,
                                                   "\\??\\" + parent};

TEST_F(InUse, AHeldFileIsLeftForTheRestartAndTheRunSaysSo) {
  const testbed::UninstallerRun shown = run_while_held("%");
  EXPECT_EQ(shown.exit_code, 0u);
  ASSERT_FALSE(shown.report.samples.empty());
  EXPECT_EQ(shown.report.samples.back().labels[1005 - testbed::first_label_id].text, "Done");
  EXPECT_EQ(shown.report.final_box.text,
            "Merivane has been removed. Some of its files will be deleted when you restart your "
            "computer.");
  EXPECT_EQ(testbed::pending_deletions(), in_restart_order);

  testbed::forget_pending_deletions();
  machine.lay(testbed::program_directory(), e2e::small_profile);
  const std::string log = machine.data_dir + "in-use.log";
  EXPECT_EQ(run_while_held("/quiet /log " + log + " %").exit_code, 3010u);
  EXPECT_EQ(testbed::pending_deletions(), in_restart_order);
  const std::vector<test_support::LogLine> lines = test_support::parse_log(log);
  ASSERT_FALSE(lines.empty());
  // The lines of an event about path, with outcome; null: with no other field.
  const auto count = [&](const char* event, const std::string& path, const char* outcome) {
    std::size_t found = 0;
    for (const test_support::LogLine& line : lines) {
      const auto& fields = line.fields;
      found += line.event == event && fields.contains("path") && fields.at("path") == path &&
               (outcome == nullptr ? fields.size() == 1
                                   : fields.contains("outcome") && fields.at("outcome") == outcome);
    }
    return found;
  };
  // Wine's Restart Manager names no holder: the log says the file is in use.
  EXPECT_EQ(count("in_use", held, nullptr), 1u);
  EXPECT_EQ(count("file", held, "at_restart"), 1u);
  EXPECT_EQ(count("directory", directory, "at_restart"), 1u);
  EXPECT_EQ(count("parent", parent, "at_restart"), 1u);
  EXPECT_EQ(lines.back().words, (std::vector<std::string>{"code", "3010"}));
}

// The add-in's own program runs from a second installation while a deployment system removes
// it, then installs it again at once, as many do on exit code 3010. restart.sh runs this after
// InUse.*, whose cases begin by forgetting what is pending: it keeps theirs. Under Wine, as
// under Windows, a running program's image refuses deletion (error 5) but not renaming.
const testbed::SimulatedMachine reinstalled{"C:\\Program Files\\Quillaburst Again\\Merivane\\"};

TEST(RunningAddIn, ItsImageIsMovedAsideSoThatAReinstallationKeepsItsFiles) {
  const auto saved = test_support::SavedValue::of(HKEY_LOCAL_MACHINE, testbed::session_manager_key,
                                                  testbed::pending_renames_value);
  reinstalled.lay(testbed::program_directory(), e2e::small_profile);
  const std::string image = reinstalled.install_dir + "Merivane.exe";
  const std::string log = reinstalled.data_dir + "running.log";
  const std::string command =
      "\"" + reinstalled.uninstaller() + "\" /quiet /log " + log + " %" + reinstalled.install_dir;
  {
    const testbed::RunningImage add_in(image);
    EXPECT_EQ(testbed::run_uninstaller(reinstalled, command).exit_code, 3010u);
  }
  const std::string moved =
      reinstalled.install_dir + testbed::moved_aside(reinstalled.install_dir, "Merivane.exe");
  std::size_t moves = 0;
  for (const test_support::LogLine& line : test_support::parse_log(log)) {
    if (line.fields.count("moved_to") == 0) continue;
    ++moves;
    EXPECT_EQ(line.event, "file");
    EXPECT_EQ(line.fields.at("path"), image);
    EXPECT_EQ(line.fields.at("moved_to"), moved);
    EXPECT_EQ(line.fields.at("outcome"), "at_restart");
    EXPECT_EQ(line.fields.at("error"), "5");
  }
  EXPECT_EQ(moves, 1u);
  const std::vector<std::string> pending = testbed::pending_deletions();
  EXPECT_EQ(std::count(pending.begin(), pending.end(), "\\??\\" + moved), 1) << moved;
  // An installer writes its files over whatever it finds.
  testbed::lay_installation(reinstalled.install_dir);
  if (std::getenv("MERIVANE_KEEP_PENDING") == nullptr) saved.restore();
}

// The registry entries and the shortcuts are the reinstallation's by now.
TEST(InUseAfterRestart, TheRestartFinishesTheRemovalsAndSparesTheReinstallation) {
  if (std::getenv("MERIVANE_AFTER_RESTART") == nullptr)
    GTEST_SKIP() << "runs in tests/e2e/restart.sh, after a restart of the prefix";
  EXPECT_TRUE(testbed::pending_deletions().empty());
  EXPECT_FALSE(testbed::directory_exists(directory));
  EXPECT_FALSE(testbed::directory_exists(parent));
  std::vector<std::string> installed = testbed::program_file_names();
  std::sort(installed.begin(), installed.end());
  EXPECT_EQ(testbed::directory_entries(reinstalled.install_dir), installed);
}

}  // namespace
