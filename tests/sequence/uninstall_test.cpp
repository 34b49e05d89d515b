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

std::vector<std::string> run() { return run_as(app::Mode::interactive); }

bool has(const std::vector<std::string>& events, const std::string& event) {
  return std::find(events.begin(), events.end(), event) != events.end();
}

using Uninstall = test_support::FreshWorld;

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

// A failed step is marked so and the rest still run, to the failure's final message; only the
// first step's label is shown all the same. Steps 3 and 4 are each done by both parts: either
// half failing fails its step.
TEST_F(Uninstall, AFailedStepIsMarkedAndTheRestStillRuns) {
  const struct {
    bool World::*result;
    int label;
  } rows[] = {{&World::outlook_result, 1004},  {&World::files_result, 1005},
              {&World::registry_result, 1006}, {&World::settings_result, 1006},
              {&World::desktop_result, 1007},  {&World::shortcuts_result, 1007}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    world = World{};
    world.*row.result = false;
    const auto events = run();
    EXPECT_TRUE(has(events, "failed " + std::to_string(row.label)));
    for (int label = 1004; label <= 1007; ++label)
      EXPECT_EQ(has(events, "show " + std::to_string(label)), label != row.label || label == 1004)
          << label;
    EXPECT_EQ(events[events.size() - 2], "box string 3 type 48");
  }
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

// The notes document is opened from the program's own directory, not the installation's; by its
// bare name when that directory is unknown, and not at all when its full name would not fit.
TEST_F(Uninstall, TheNotesDocumentComesFromTheProgramsOwnDirectory) {
  const auto opening = [](const std::string& document) {
    return std::vector<std::string>{"show 1007", "open " + document, "sleep 1000",
                                    "box string 7 type 64", "end restore point"};
  };
  const std::string fitting = "C:\\" + std::string(240, 'd') + "\\";  // 244 + 15 = 259
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {world.own_directory, opening(world.own_directory + "UninstallMV.doc")},
      {"", opening("UninstallMV.doc")},
      {fitting, opening(fitting + "UninstallMV.doc")},
      {"C:\\" + std::string(241, 'd') + "\\",  // 245 + 15 > 259
       {"show 1007", "box string 7 type 64", "end restore point"}},
  };
  for (const auto& [own_directory, tail] : rows) {
    world.needs_manual_form_step = true;
    world.own_directory = own_directory;
    world.events.clear();
    world.states_asked = 0;
    app::run_uninstall("C:\\Elsewhere\\", fakes);
    EXPECT_EQ(std::vector<std::string>(world.events.end() - long(tail.size()), world.events.end()),
              tail);
  }
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

}  // namespace
