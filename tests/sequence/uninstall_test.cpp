// The uninstall sequence through fakes: what it calls, in which order, with what.

#include "sequence/uninstall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/fake_system.h"
#include "tests/support/silent_report.h"

namespace {

using app::DialogState;
using test_support::fakes;
using test_support::World;
using test_support::world;

std::vector<std::string> run(const char* install_dir = "C:\\Merivane\\") {
  world.events.clear();
  world.states_asked = 0;
  app::run_uninstall(install_dir, fakes);
  return world.events;
}

// A log that keeps the sequence's own events.
class EventLog final : public test_support::SilentConversionReport<app::RunLog> {
 public:
  std::vector<std::string> events;
  void step_started(int step) override { events.push_back("start " + std::to_string(step)); }
  void step_ended(int step, bool succeeded) override {
    events.push_back((succeeded ? "done " : "failed ") + std::to_string(step));
  }
  void restore_point(const char* event, std::int64_t number) override {
    events.push_back(std::string("restore point ") + event + " " + std::to_string(number));
  }
  void manual_form_step() override { events.push_back("manual form step"); }
  void parts_placed(const char* placement) override {
    events.push_back(std::string("parts ") + placement);
  }
  void fleet_line(const std::string& text) override { events.push_back(text); }
  void removed(const removal::Removal&) override {}
};

std::vector<std::string> run_as(app::Mode mode, app::RunLog* log = nullptr,
                                bool* any_step_failed = nullptr) {
  world.events.clear();
  world.states_asked = 0;
  const app::RunOutcome outcome = app::run_uninstall("C:\\Merivane\\", fakes, mode, log);
  if (any_step_failed != nullptr) *any_step_failed = outcome.any_step_failed;
  return world.events;
}

class Uninstall : public ::testing::Test {
 protected:
  void SetUp() override { world = World{}; }
};

TEST_F(Uninstall, EveryStepInItsOrderWithItsPausesAndLabels) {
  EXPECT_EQ(run(), (std::vector<std::string>{
                       "box string 2 type 36",
                       "start dialog",
                       "sleep 200",  // the handle is looked at before each pause
                       "outlook",
                       "show 1004",
                       "enable 1001",
                       "sleep 1000",
                       "begin restore point",
                       "files C:\\Merivane\\",
                       "show 1005",
                       "enable 1002",
                       "sleep 1000",
                       "uninstall entry",
                       "settings",
                       "show 1006",
                       "enable 1003",
                       "sleep 1000",
                       "desktop shortcut",
                       "programs shortcut",
                       "show 1007",
                       "box string 5 type 64",
                       "end restore point",
                   }));
}

// Nobody is asked; a passive run shows its progress, a quiet one nothing, and neither opens
// the notes document or shows a final message.
TEST_F(Uninstall, UnattendedRunsLeaveOutWhatIsThereForAPersonAtTheScreen) {
  world.needs_manual_form_step = true;
  EXPECT_EQ(run_as(app::Mode::passive),
            (std::vector<std::string>{
                "start dialog", "sleep 200", "outlook", "show 1004", "enable 1001", "sleep 1000",
                "begin restore point", "files C:\\Merivane\\", "show 1005", "enable 1002",
                "sleep 1000", "uninstall entry", "settings", "show 1006", "enable 1003", "sleep 1000",
                "desktop shortcut", "programs shortcut",
                "show 1007", "sleep 1000", "end restore point"}));
  EXPECT_EQ(run_as(app::Mode::quiet),
            (std::vector<std::string>{"outlook", "begin restore point", "files C:\\Merivane\\",
                                      "uninstall entry", "settings", "desktop shortcut",
                                      "programs shortcut", "end restore point"}));
  world.files_result = false;
  bool failed = false;
  EXPECT_EQ(run_as(app::Mode::quiet, nullptr, &failed).size(), 8u);
  EXPECT_TRUE(failed);
}

TEST_F(Uninstall, TheLogHearsOfEveryStepTheRestorePointAndTheManualStep) {
  world.needs_manual_form_step = true;
  world.registry_result = false;
  EventLog log;
  run_as(app::Mode::quiet, &log);
  EXPECT_EQ(log.events,
            (std::vector<std::string>{"start 1", "done 1", "start 2", "restore point begin 4711",
                                      "done 2", "start 3", "failed 3", "start 4", "done 4",
                                      "manual form step", "restore point end 4711"}));
}

TEST_F(Uninstall, AnythingButYesEndsEverything) {
  for (const int answer : {IDNO, IDCANCEL, 0}) {
    world.confirmation_answer = answer;
    EXPECT_EQ(run(), std::vector<std::string>{"box string 2 type 36"}) << "answer " << answer;
  }
}

TEST_F(Uninstall, NoPauseOnceTheDialogIsUpAndNoWaitForADialogThatCannotCome) {
  world.dialog_states = {DialogState::shown};
  auto events = run();
  EXPECT_EQ(events[2], "outlook");
  world.dialog_states = {DialogState::pending, DialogState::pending, DialogState::absent};
  events = run();
  EXPECT_EQ(std::vector<std::string>(events.begin() + 2, events.begin() + 5),
            (std::vector<std::string>{"sleep 200", "sleep 200", "outlook"}));
  EXPECT_EQ(events.back(), "end restore point") << "the steps ran without a dialog";
}

TEST_F(Uninstall, AFailedStepIsMarkedAndTheRestStillRuns) {
  world.outlook_result = false;
  auto events = run();
  EXPECT_EQ(std::vector<std::string>(events.begin() + 3, events.begin() + 6),
            (std::vector<std::string>{"outlook", "failed 1004", "show 1004"}));
  EXPECT_NE(std::find(events.begin(), events.end(), "programs shortcut"), events.end());
  EXPECT_EQ(events[events.size() - 2], "box string 3 type 48");

  world = World{};
  world.files_result = false;
  world.shortcuts_result = false;
  events = run();
  EXPECT_NE(std::find(events.begin(), events.end(), "failed 1005"), events.end());
  EXPECT_EQ(std::find(events.begin(), events.end(), "show 1005"), events.end());
  EXPECT_NE(std::find(events.begin(), events.end(), "failed 1007"), events.end());
  EXPECT_NE(std::find(events.begin(), events.end(), "show 1006"), events.end());
}

TEST_F(Uninstall, TheFinalMessageFollowsBothFlags) {
  struct Row {
    bool failed;
    bool manual;
    bool at_restart;  // files left for the next restart
    UINT string_id;
    UINT type;
  };
  for (const Row row : {Row{false, false, false, 5, MB_ICONINFORMATION},
                        Row{false, true, false, 7, MB_ICONINFORMATION},
                        Row{true, false, false, 3, MB_ICONEXCLAMATION},
                        Row{true, true, false, 8, MB_ICONEXCLAMATION},
                        Row{false, false, true, 10, MB_ICONINFORMATION},
                        Row{false, true, true, 11, MB_ICONINFORMATION},
                        Row{true, false, true, 3, MB_ICONEXCLAMATION},
                        Row{true, true, true, 8, MB_ICONEXCLAMATION}}) {
    const app::FinalMessage message = app::final_message(row.failed, row.manual, row.at_restart);
    EXPECT_EQ(message.string_id, row.string_id);
    EXPECT_EQ(message.box_type, row.type);

    world = World{};
    world.registry_result = !row.failed;
    world.needs_manual_form_step = row.manual;
    world.files_at_restart = row.at_restart;
    const auto events = run();
    EXPECT_EQ(events[events.size() - 2], "box string " + std::to_string(row.string_id) + " type " +
                                             std::to_string(MB_OK | row.type));
  }
}

TEST_F(Uninstall, TheNotesDocumentComesFromTheProgramsOwnDirectory) {
  world.needs_manual_form_step = true;
  auto events = run("C:\\Elsewhere\\");
  const std::vector<std::string> tail(events.end() - 5, events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "show 1007",
                      "open C:\\Program Files\\Quillaburst\\Merivane\\UninstallMV.doc",
                      "sleep 1000",
                      "box string 7 type 64",
                      "end restore point",
                  }));

  world.own_directory = "";  // the program's name could not be had
  events = run();
  EXPECT_EQ(events[events.size() - 4], "open UninstallMV.doc");
}

TEST_F(Uninstall, ADirectoryTooLongForTheDocumentsNameOpensNothing) {
  world.needs_manual_form_step = true;
  world.own_directory = "C:\\" + std::string(241, 'd') + "\\";  // 245 + 15 > 259
  const auto events = run();
  EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
            (std::vector<std::string>{"show 1007", "box string 7 type 64", "end restore point"}));

  world.own_directory = "C:\\" + std::string(240, 'd') + "\\";  // 244 + 15 = 259: just fits
  const auto fitting = run();
  EXPECT_EQ(fitting[fitting.size() - 4].rfind("open C:\\ddd", 0), 0u);
}

TEST_F(Uninstall, TheRestorePointBracketsTheFileStepsAndTheFinalMessage) {
  const auto events = run();
  const auto at = [&](const char* event) {
    return std::find(events.begin(), events.end(), event) - events.begin();
  };
  EXPECT_LT(at("outlook"), at("begin restore point"));
  EXPECT_LT(at("begin restore point"), at("files C:\\Merivane\\"));
  EXPECT_EQ(at("end restore point"), static_cast<long>(events.size()) - 1);
}

// Outlook open where the step cannot reach it: only a person at the screen is asked to close
// it, in a box of its own, and the step hears the answer.
TEST_F(Uninstall, OnlyAnInteractiveRunAsksToCloseOutlook) {
  world.outlook_open_elsewhere = true;
  const auto after_outlook = [](const std::vector<std::string>& events) {
    const auto at = std::find(events.begin(), events.end(), "outlook");
    return std::vector<std::string>(at + 1, at + 3);
  };
  EXPECT_EQ(after_outlook(run()), (std::vector<std::string>{"box string 12 type 53", "retry"}));
  world.close_outlook_answer = IDCANCEL;
  EXPECT_EQ(after_outlook(run()), (std::vector<std::string>{"box string 12 type 53", "cancel"}));
  EXPECT_EQ(after_outlook(run_as(app::Mode::passive)),
            (std::vector<std::string>{"nobody asked", "show 1004"}));
}

// Steps 3 and 4 are each done by both parts: either half failing fails its step.
TEST_F(Uninstall, EachHalfOfTheSharedStepsCountsForItsStep) {
  struct Row {
    bool World::*half;
    const char* failed_label;
  };
  const Row rows[] = {{&World::registry_result, "failed 1006"},
                      {&World::settings_result, "failed 1006"},
                      {&World::desktop_result, "failed 1007"},
                      {&World::shortcuts_result, "failed 1007"}};
  for (const Row& row : rows) {
    world = World{};
    world.*row.half = false;
    const auto events = run();
    EXPECT_NE(std::find(events.begin(), events.end(), row.failed_label), events.end())
        << row.failed_label;
    EXPECT_EQ(events[events.size() - 2], "box string 3 type 48");
  }
}

}  // namespace
