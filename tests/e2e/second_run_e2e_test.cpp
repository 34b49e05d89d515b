// The real program beside another run: one removal at a time, and a removal that was ended
// part way and is run again with the same command line.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "testbed/machine/installation.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/machine/uninstaller_run.h"
#include "testbed/profile/profile.h"
#include "tests/e2e/small_profile.h"
#include "tests/support/log_lines.h"

namespace {

using test_support::count_with;
using test_support::read_lines;

const char removal_mutex[] = "Global\\Quillaburst.Merivane.Uninstall";

class SecondRun : public ::testing::Test {
 protected:
  void lay(const std::string& rules = "") {
    machine_.lay(testbed::program_directory(), e2e::small_profile + rules);
  }
  DWORD run(const std::string& arguments) {
    const auto ended = testbed::run_uninstaller(machine_, quoted_ + arguments);
    asked_ = ended.report.confirmation.seen;
    return ended.exit_code;
  }
  // Nothing of the add-in: no task of its class, no folder with its form, no installed item.
  int left() const {
    int found = 0;
    for (const std::string& item : testbed::describe_installation(machine_.install_dir))
      found += item.rfind("present", 0) == 0;
    const auto profile = testbed::Profile::load(machine_.profile());
    for (const auto& folder : profile->folders()) {
      for (const std::uint32_t text : folder.items)
        found += text != testbed::Profile::no_text && profile->text(text) == "IPM.Task.Merivane";
      found += profile->text(folder.form) == "IPM.Task.Merivane";
    }
    return found;
  }
  testbed::SimulatedMachine machine_;
  const std::string quoted_ = "\"" + machine_.uninstaller() + "\" ";
  const std::string dir_ = " %" + machine_.install_dir;
  bool asked_ = false;
};

// Either run may win; the other finds the mutex held and touches nothing. The tasks keep the
// first one busy (about half a second on win64) while the second starts.
TEST_F(SecondRun, TwoQuietRunsStartedTogetherRemoveOnce) {
  lay("item folder=Personal/Tasks class=IPM.Task.Merivane count=10000\n");
  base::unique_handle runs[2];
  for (int i = 0; i < 2; ++i)
    runs[i] = testbed::start_uninstaller(machine_, quoted_ + "/quiet /log " + machine_.data_dir +
                                                       std::to_string(i) + ".log %" +
                                                       machine_.install_dir);
  DWORD codes[2] = {};
  for (int i = 0; i < 2; ++i)
    ASSERT_TRUE(WaitForSingleObject(runs[i].get(), 120000) == WAIT_OBJECT_0 &&
                GetExitCodeProcess(runs[i].get(), &codes[i]));
  ASSERT_EQ(codes[0] + codes[1], 1618u) << codes[0] << " " << codes[1];
  const auto busy = read_lines(machine_.data_dir + (codes[0] == 1618 ? "0" : "1") + ".log");
  EXPECT_EQ(count_with(busy, {"another_removal running"}) + count_with(busy, {" step "}), 1u);
  EXPECT_EQ(count_with(read_lines(machine_.standin_log()), {"outlook create"}), 1u);
  EXPECT_EQ(count_with(read_lines(machine_.restore_log()), {"event=100"}), 1u);
  EXPECT_EQ(left(), 0);
}

// While another removal holds the mutex, no run that removes does anything.
TEST_F(SecondRun, WhileAnotherRemovalRunsNothingIsAskedOrDone) {
  lay();
  const int laid = left();
  const base::unique_handle held(CreateMutexA(nullptr, TRUE, removal_mutex));
  ASSERT_TRUE(held);
  const std::string log = "/log " + machine_.data_dir + "busy.log";
  struct Case {
    std::string arguments;
    DWORD exit_code;
  } cases[] = {{"/quiet" + dir_, 1618}, {"/passive " + log, 1618}, {dir_, 0}, {log + dir_, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.arguments), c.exit_code) << c.arguments;
    EXPECT_FALSE(asked_) << c.arguments;
  }
  EXPECT_EQ(count_with(read_lines(machine_.data_dir + "busy.log"), {"another_removal running"}),
            2u);
  EXPECT_EQ(left(), laid);
}

// Ended after the k-th Outlook call, or right after a deletion call of the removal steps; the
// next run finds the mutex abandoned, as this test keeps a handle to it open.
TEST_F(SecondRun, ARemovalCutShortFinishesWhenRunAgain) {
  const base::unique_handle watcher(CreateMutexA(nullptr, FALSE, removal_mutex));
  ASSERT_TRUE(watcher);
  lay();
  ASSERT_EQ(run("/quiet %" + machine_.install_dir), 0u);
  const long calls = long(count_with(read_lines(machine_.standin_log()), {"outlook call "}));
  struct Case {
    std::string rule;  // a profile line, or SRCLIENT_END_AFTER
    std::string arguments;
  } cases[] = {
      {"end call=1", "/quiet" + dir_},
      {"end call=" + std::to_string(calls / 3), dir_},
      {"end call=" + std::to_string(2 * calls / 3), "/passive" + dir_},
      {"end call=" + std::to_string(calls - 1), "/quiet"},
      {"SetFileInformationByHandle:2", "/quiet" + dir_},
      {"SetFileInformationByHandle:5", "/quiet"},
      {"SetFileInformationByHandle:6", "/quiet" + dir_},
      {"RegDeleteValueA:2", "/quiet"},
      {"RegDeleteValueA:12", "/quiet" + dir_},
      {"RegDeleteKeyA:1", "/quiet"},
      {"DeleteFileA:1", dir_},
  };
  for (const Case& c : cases) {
    const bool outlook = c.rule.rfind("end ", 0) == 0;
    lay(outlook ? c.rule + "\n" : "");
    SetEnvironmentVariableA("SRCLIENT_END_AFTER", outlook ? nullptr : c.rule.c_str());
    EXPECT_EQ(run(c.arguments), testbed::Profile::end_exit_code) << c.rule;
    SetEnvironmentVariableA("SRCLIENT_END_AFTER", nullptr);
    EXPECT_GT(left(), 0) << c.rule;
    if (outlook) {  // the second run must not end at the same call
      std::string profile;
      for (const std::string& text : read_lines(machine_.profile()))
        profile += (text.rfind("end ", 0) == 0 ? "#" : "") + text + "\n";
      testbed::write_file(machine_.profile(), profile);
    }
    EXPECT_EQ(run(c.arguments) % 1603, 0u) << c.rule << ": 0, or 1603 for a file already gone";
    EXPECT_EQ(left(), 0) << c.rule;
  }
}

}  // namespace
