// The real UninstallMV.exe run as a deployment system runs it: switches, no person at the
// screen, judged by its exit code and its log, which is parsed here line by line.

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "testbed/machine/installation.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/machine/text_lines.h"
#include "testbed/machine/uninstaller_run.h"
#include "tests/e2e/small_profile.h"
#include "tests/support/log_lines.h"

namespace {

using e2e::small_profile;

using test_support::LogLine;
using test_support::parse_log;

// The lines of one event, and of those the one whose field has the value.
std::vector<LogLine> events(const std::vector<LogLine>& log, const std::string& event) {
  std::vector<LogLine> found;
  for (const LogLine& line : log)
    if (line.event == event) found.push_back(line);
  return found;
}

const LogLine* find(const std::vector<LogLine>& log, const std::string& event,
                    const std::string& field, const std::string& value) {
  for (const LogLine& line : log) {
    const auto it = line.fields.find(field);
    if (line.event == event && it != line.fields.end() && it->second == value) return &line;
  }
  return nullptr;
}

class Unattended : public ::testing::Test {
 protected:
  void SetUp() override { machine_.lay(testbed::program_directory(), small_profile); }

  std::string log_path() const { return machine_.data_dir + "uninstall.log"; }

  testbed::UninstallerRun run(const std::string& switches) {
    const testbed::UninstallerRun result =
        testbed::run_uninstaller(machine_, "\"" + machine_.uninstaller() + "\" " + switches);
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.report.timed_out) << testbed::report_text(result.report);
    return result;
  }

  bool nothing_left() const {
    for (const std::string& line : testbed::describe_installation(machine_.install_dir))
      if (line.rfind("present", 0) == 0) return false;
    return true;
  }
  bool everything_left() const {
    for (const std::string& line : testbed::describe_installation(machine_.install_dir))
      if (line.rfind("absent", 0) == 0) return false;
    return true;
  }

  testbed::SimulatedMachine machine_;
};

TEST_F(Unattended, QuietRemovesEverythingShowsNothingAndLogsEachThing) {
  const std::string switches = "/quiet /log \"" + log_path() + "\" %" + machine_.install_dir;
  const std::string command_line = "\"" + machine_.uninstaller() + "\" " + switches;
  const testbed::UninstallerRun result = run(switches);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_FALSE(result.report.confirmation.seen);
  EXPECT_FALSE(result.report.dialog_seen);
  EXPECT_FALSE(result.report.final_box.seen);
  EXPECT_TRUE(nothing_left());
  EXPECT_TRUE(testbed::read_lines(machine_.recorder_log()).empty()) << "a document was opened";

  const std::vector<LogLine> log = parse_log(log_path());
  ASSERT_GE(log.size(), 2u);
  for (std::size_t i = 1; i < log.size(); ++i) EXPECT_LE(log[i - 1].stamp, log[i].stamp);
  EXPECT_EQ(log.front().event, "start");
  EXPECT_EQ(log.front().fields.at("version"), "1.0.0.0");
  EXPECT_EQ(log.front().fields.at("mode"), "quiet");
  EXPECT_EQ(log.front().fields.at("command"), command_line);
  ASSERT_NE(find(log, "install_dir", "source", "command_line"), nullptr);
  EXPECT_EQ(events(log, "install_dir").front().fields.at("path"), machine_.install_dir);
  for (int step = 1; step <= 4; ++step) {
    const std::vector<std::string> expected = {std::to_string(step), "start"};
    const std::vector<std::string> done = {std::to_string(step), "done"};
    std::size_t starts = 0, dones = 0;
    for (const LogLine& line : events(log, "step")) {
      starts += line.words == expected;
      dones += line.words == done;
    }
    EXPECT_EQ(starts, 1u) << step;
    EXPECT_EQ(dones, 1u) << step;
  }
  const std::vector<LogLine> outlook = events(log, "outlook");
  ASSERT_EQ(outlook.size(), 1u);
  const std::map<std::string, std::string> counts = {{"stores", "1"},
                                                     {"folders", "4"},
                                                     {"task_folders", "2"},
                                                     {"items_converted", "8"},
                                                     {"items_not_converted", "0"},
                                                     {"forms_reset", "1"},
                                                     {"forms_left", "0"},
                                                     {"forms_removed", "0"},
                                                     {"published_forms_left", "0"}};
  EXPECT_EQ(outlook.front().fields, counts);
  ASSERT_NE(find(log, "form_reset", "folder", "\\\\Personal\\Tasks"), nullptr);
  EXPECT_EQ(find(log, "form_reset", "folder", "\\\\Personal\\Tasks")->fields.at("by"), "mapi");

  for (const std::string& name : testbed::program_file_names()) {
    const LogLine* file = find(log, "file", "path", machine_.install_dir + name);
    ASSERT_NE(file, nullptr) << name;
    EXPECT_EQ(file->fields.at("outcome"), "deleted") << name;
  }
  const std::string directory = machine_.install_dir.substr(0, machine_.install_dir.size() - 1);
  ASSERT_NE(find(log, "directory", "path", directory), nullptr);
  EXPECT_EQ(find(log, "directory", "path", directory)->fields.at("outcome"), "deleted");
  std::size_t values_deleted = 0;
  for (const LogLine& value : events(log, "value"))
    values_deleted += value.fields.at("outcome") == "deleted";
  // The uninstall entry lies in each view the program clears.
  const std::size_t views = testbed::uninstall_entry_views().size();
  EXPECT_EQ(values_deleted, 3 * views + 23);
  const std::string entry = std::string("HKLM\\") + testbed::uninstall_entry_key;
  std::size_t entry_deleted = 0;
  for (const LogLine& key : events(log, "key"))
    entry_deleted += key.fields.at("path") == entry && key.fields.at("outcome") == "deleted";
  EXPECT_EQ(entry_deleted, views);
  std::size_t shortcuts = 0;
  for (const LogLine& shortcut : events(log, "shortcut")) {
    EXPECT_EQ(shortcut.fields.at("outcome"), "deleted") << shortcut.fields.at("path");
    ++shortcuts;
  }
  EXPECT_EQ(shortcuts, 2u);
  ASSERT_EQ(events(log, "restore_point").size(), 2u);
  EXPECT_EQ(events(log, "restore_point").front().fields.at("sequence"), "4711");
  EXPECT_EQ(log.back().event, "exit");
  EXPECT_EQ(log.back().words, (std::vector<std::string>{"code", "0"}));
}

// What was left shows in the exit code; the log says where.
TEST_F(Unattended, AFailedStepExits1603AndTheLogSaysWhatWasLeft) {
  machine_.lay(testbed::program_directory(),
               std::string(small_profile) +
                   "fail object=Item:Personal/Tasks#2 member=Save hresult=0x80004005\n");
  const std::string setup = machine_.install_dir + "Setup.exe";
  DeleteFileA(setup.c_str());
  EXPECT_EQ(run("/QUIET /log:" + log_path() + " %" + machine_.install_dir).exit_code, 1603u);
  const std::vector<LogLine> log = parse_log(log_path());
  const LogLine* item = find(log, "item_not_converted", "folder", "\\\\Personal\\Tasks");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->fields.at("code"), "0x80004005");
  ASSERT_NE(find(log, "file", "path", setup), nullptr);
  EXPECT_EQ(find(log, "file", "path", setup)->fields.at("outcome"), "not_found");
  EXPECT_EQ(find(log, "file", "path", setup)->fields.at("error"), "2");
  EXPECT_EQ(log.back().words, (std::vector<std::string>{"code", "1603"}));
}

TEST_F(Unattended, PassiveShowsTheProgressOnly) {
  const testbed::UninstallerRun result = run("/passive %" + machine_.install_dir);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_FALSE(result.report.confirmation.seen);
  EXPECT_TRUE(result.report.dialog_seen);
  EXPECT_FALSE(result.report.final_box.seen);
  ASSERT_FALSE(result.report.samples.empty());
  EXPECT_EQ(result.report.samples.back().labels[7].text, "Done");
  EXPECT_TRUE(nothing_left());
}

// Without "%", the directory the installer recorded in the uninstall entry.
TEST_F(Unattended, WithoutADirectoryTheRecordedOneIsUsed) {
  const testbed::UninstallerRun result = run("/quiet");
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_TRUE(nothing_left());
}

// A recorded directory that is missing, or names a drive's root, fails the file step only:
// nothing is deleted, inside the installation or outside it, and the other steps run.
TEST_F(Unattended, WithoutAUsableRecordedDirectoryOnlyTheFileStepFails) {
  for (const char* recorded : {static_cast<const char*>(nullptr), "C:\\"}) {
    SetUp();
    for (const testbed::RegistryView& view : testbed::uninstall_entry_views()) {
      if (recorded == nullptr)
        testbed::delete_value(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key, "InstallLocation",
                              view.access);
      else
        testbed::set_string_value(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key,
                                  "InstallLocation", recorded, view.access);
    }
    for (const std::string& name : testbed::program_file_names())
      testbed::write_file("C:\\" + name);
    const std::string what = recorded == nullptr ? "none" : recorded;
    EXPECT_EQ(run("/quiet /log " + log_path()).exit_code, 1603u) << what;
    const std::vector<LogLine> log = parse_log(log_path());
    const LogLine* refused = find(log, "install_dir", "outcome", "refused");
    ASSERT_NE(refused, nullptr) << what;
    EXPECT_EQ(refused->fields.at("path"), recorded == nullptr ? "" : recorded);
    for (const char* step : {"1 done", "2 failed", "3 done", "4 done"})
      EXPECT_EQ(testbed::count_with(testbed::read_lines(log_path()),
                                    {(std::string(" step ") + step).c_str()}),
                1u)
          << what << ": " << step;
    for (const std::string& name : testbed::program_file_names()) {
      EXPECT_TRUE(testbed::file_exists(machine_.install_dir + name)) << what << ": " << name;
      EXPECT_TRUE(testbed::file_exists("C:\\" + name)) << what << ": C:\\" << name;
      testbed::remove_tree("C:\\" + name);
    }
    testbed::remove_tree(log_path());
  }
}

TEST_F(Unattended, ABadCommandLineDoesNothingAndExits87) {
  for (const char* switches : {"/quiet /remove", "/log", "/quiet now %C:\\x\\", "/x"}) {
    const testbed::UninstallerRun result = run(std::string(switches));
    EXPECT_EQ(result.exit_code, 87u) << switches;
    EXPECT_FALSE(result.report.confirmation.seen) << switches;
    EXPECT_FALSE(result.report.dialog_seen) << switches;
  }
  EXPECT_TRUE(everything_left());
  EXPECT_TRUE(testbed::read_lines(machine_.restore_log()).empty());
}

}  // namespace
