// The uninstall sequence through fakes: what it calls, in which order, with what.

#include "app/uninstall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <thread>

#include "app/elevation.h"
#include "app/fleet.h"
#include "app/part_channel.h"
#include "app/program_parts.h"
#include "app/unattended.h"
#include "base/path_text.h"
#include "testbed/machine/installation.h"
#include "testbed/machine/text_lines.h"
#include "tests/support/silent_report.h"

namespace {

using app::DialogState;

// What the fakes answer, and what they saw.
struct World {
  int confirmation_answer = IDYES;
  bool outlook_open_elsewhere = false;
  int close_outlook_answer = IDRETRY;
  std::vector<DialogState> dialog_states = {DialogState::pending, DialogState::shown};
  std::size_t states_asked = 0;
  bool outlook_result = true;
  bool needs_manual_form_step = false;
  bool files_result = true;
  bool files_at_restart = false;
  bool registry_result = true;
  bool settings_result = true;
  bool desktop_result = true;
  bool shortcuts_result = true;
  bool shortcuts_throw = false;
  std::string own_directory = "C:\\Program Files\\Quillaburst\\Merivane\\";
  std::vector<std::string> events;
};
World world;

void record(const std::string& event) { world.events.push_back(event); }

const app::UninstallSystem fakes{
    .message_box =
        [](const char* text, UINT type) {
          record("box " + std::string(text) + " type " + std::to_string(type));
          if (std::string(text) == "string 12") return world.close_outlook_answer;
          return std::string(text) == "string 2" ? world.confirmation_answer : IDOK;
        },
    .load_string =
        [](UINT id, char* buffer, int limit) {
          std::snprintf(buffer, static_cast<std::size_t>(limit), "string %u", id);
          return static_cast<int>(std::strlen(buffer));
        },
    .sleep = [](DWORD milliseconds) { record("sleep " + std::to_string(milliseconds)); },
    .start_progress_dialog =
        [] {
          record("start dialog");
          return true;
        },
    .progress_dialog_state =
        [] {
          const auto& states = world.dialog_states;
          const DialogState state =
              world.states_asked < states.size() ? states[world.states_asked] : states.back();
          ++world.states_asked;
          return state;
        },
    .show_label = [](int id) { record("show " + std::to_string(id)); },
    .enable_label = [](int id) { record("enable " + std::to_string(id)); },
    .mark_label_failed = [](int id) { record("failed " + std::to_string(id)); },
    .convert_outlook_tasks =
        [](bool& needs_manual_form_step, outlook::ConversionReport* report,
           const outlook::StepEnvironment& environment) {
          record("outlook");
          if (report != nullptr) {
            report->item_not_converted("\\Mailbox \"x\"\\Tasks", E_ACCESSDENIED);
            report->converted({2, 7, 3, 40, 1, 2, 1, 0});
            report->calls_turned_away(12, 3150);
          }
          if (world.outlook_open_elsewhere && environment.outlook_window_exists()) {
            const auto ask = environment.ask_to_close_outlook;
            record(ask == nullptr ? "nobody asked" : ask(environment.context) ? "retry" : "cancel");
          }
          needs_manual_form_step = world.needs_manual_form_step;
          return world.outlook_result;
        },
    .outlook_window_exists = [] { return world.outlook_open_elsewhere; },
    .remove_program_files =
        [](const char* install_dir, removal::Report* report) {
          record("files " + std::string(install_dir));
          if (report != nullptr) {
            report->in_use("C:\\M\\Merivane.exe", "Merivane (process 1234)");
            removal::Removal moved{"file", "C:\\M\\Merivane.exe", nullptr, nullptr,
                                   removal::Outcome::at_restart, 5, "C:\\M\\x.removed"};
            report->removed(moved);
            report->removed({"value", "HKLM\\K", "Name", "64", removal::Outcome::not_found, 2});
          }
          return removal::StepResult{world.files_result, world.files_at_restart};
        },
    .remove_uninstall_entry =
        [](removal::Report*) {
          record("uninstall entry");
          return world.registry_result;
        },
    .remove_user_settings =
        [](removal::Report*) {
          record("settings");
          return world.settings_result;
        },
    .remove_desktop_shortcut =
        [](removal::Report*) {
          record("desktop shortcut");
          return world.desktop_result;
        },
    .remove_programs_shortcut =
        [](removal::Report*) {
          record("programs shortcut");
          if (world.shortcuts_throw) throw 1;
          return world.shortcuts_result;
        },
    .begin_restore_point =
        [] {
          record("begin restore point");
          return std::int64_t{4711};
        },
    .end_restore_point =
        [] {
          record("end restore point");
          return std::int64_t{4711};
        },
    .own_directory =
        [](char* buffer, std::size_t capacity) {
          base::copy_path(buffer, capacity, world.own_directory.c_str());
          return buffer;
        },
    .open_document = [](const char* path) { record("open " + std::string(path)); },
};

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

// Exit codes as deployment systems read them. A bad command line, or a log that cannot be
// opened, does nothing at all.
TEST_F(Uninstall, SwitchesGiveTheExitCodesOfUnattendedRuns) {
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

// ---- where the parts run ------------------------------------------------------------------

// The token decides: elevated runs both parts here unless the desktop's user is at another
// level; at the user's level the machine's part goes to an elevated copy, which a quiet run
// may not ask for; the system account keeps both here.
TEST(PartRoutes, FollowTheTokenTheModeAndTheShell) {
  using app::Route;
  using app::ShellStanding;
  const app::TokenFacts full{false, TokenElevationTypeFull, true};
  const app::TokenFacts limited{false, TokenElevationTypeLimited, false};
  const app::TokenFacts administrator{false, TokenElevationTypeDefault, true};
  const app::TokenFacts standard_user{false, TokenElevationTypeDefault, false};
  const app::TokenFacts system{true, TokenElevationTypeDefault, true};
  struct Row {
    app::TokenFacts token;
    app::Mode mode;
    ShellStanding shell;
    Route route;
  };
  const Row rows[] = {
      {full, app::Mode::interactive, ShellStanding::as_this, Route::both_here},
      {full, app::Mode::quiet, ShellStanding::none, Route::both_here},
      {full, app::Mode::passive, ShellStanding::other_level, Route::user_in_shell_session},
      {administrator, app::Mode::quiet, ShellStanding::other_level, Route::user_in_shell_session},
      {limited, app::Mode::interactive, ShellStanding::none, Route::machine_elevated_copy},
      {limited, app::Mode::passive, ShellStanding::other_level, Route::machine_elevated_copy},
      {limited, app::Mode::quiet, ShellStanding::none, Route::needs_administrator},
      {standard_user, app::Mode::interactive, ShellStanding::none, Route::machine_elevated_copy},
      {standard_user, app::Mode::quiet, ShellStanding::none, Route::needs_administrator},
      {system, app::Mode::quiet, ShellStanding::other_level, Route::both_here},
  };
  for (const Row& row : rows) {
    const unsigned at = unsigned(&row - rows);
    EXPECT_EQ(app::route_for(row.token, row.mode, row.shell), row.route) << at;
  }
}

// What the fake processes answer, and the thread that plays the other process: it serves its
// part over the pipe through the fakes, until it has answered serve_requests of them.
struct Placement {
  app::TokenFacts token{false, TokenElevationTypeLimited, false};
  app::ShellStanding shell = app::ShellStanding::none;
  DWORD start_answer = ERROR_SUCCESS;
  int serve_requests = 1000;
  std::vector<std::string> started;  // "elevated <parameters>" or "shell ..."
};
Placement placement;

// The other process: a thread of this one, serving through the fakes.
DWORD WINAPI other_process(void*) {
  const std::string& parameters = placement.started.back();
  char kind[16] = {}, name[MAX_PATH] = {};
  std::sscanf(parameters.c_str(), "%*s %*s %15s %259s", kind, name);
  app::PartPipe pipe;
  if (!pipe.open(name)) return 1;
  app::LocalParts here(fakes);
  // Ends as a process killed half way would: its end of the pipe closes.
  struct Counted final : app::MachinePart {
    app::MachinePart& real;
    explicit Counted(app::MachinePart& machine) : real(machine) {}
    bool spent() { return --placement.serve_requests < 0; }
    std::int64_t begin_restore_point() override { return spent() ? 0 : real.begin_restore_point(); }
    std::int64_t end_restore_point() override { return spent() ? 0 : real.end_restore_point(); }
    removal::StepResult remove_program_files(const char* dir, removal::Report* report) override {
      if (spent()) throw 1;
      return real.remove_program_files(dir, report);
    }
    bool remove_uninstall_entry(removal::Report* report) override {
      if (spent()) throw 1;
      return real.remove_uninstall_entry(report);
    }
    bool remove_programs_shortcut(removal::Report* report) override {
      if (spent()) throw 1;
      return real.remove_programs_shortcut(report);
    }
  } counted(here.machine());
  try {
    app::serve_part(pipe, std::strcmp(kind, "machine") == 0 ? app::PartKind::machine
                                                            : app::PartKind::user,
                    here.user(), counted);
  } catch (...) {
  }
  return 0;
}

DWORD start_thread(const char* how, const char* parameters, base::unique_handle& process) {
  placement.started.push_back(std::string(how) + " " + parameters);
  if (placement.start_answer != ERROR_SUCCESS) return placement.start_answer;
  process.reset(CreateThread(nullptr, 0, other_process, nullptr, 0, nullptr));
  return ERROR_SUCCESS;
}

const app::PartProcesses fake_processes{
    [] { return placement.token; },
    [](std::string& sid) {
      sid = "S-1-5-21-1-2-3-1001";
      return placement.shell;
    },
    [](const char* parameters, base::unique_handle& process) {
      return start_thread("elevated", parameters, process);
    },
    [](const char* parameters, base::unique_handle& process) {
      return start_thread("shell", parameters, process);
    },
};

// Asked of another process, the parts do what they do here: the same steps, results and
// report; nothing at all when the part cannot be had; and a part whose process is gone
// fails its steps at once rather than being waited for.
TEST_F(Uninstall, PartsInAnotherProcessDoWhatTheyDoHereOrNothingAtAll) {
  // The other process is played by a thread of this one: a 32-bit process under qemu-i386
  // loses its wineserver connection when a second thread waits on pipe I/O beside the first
  // ("wine client error ... Bad file descriptor", seen). The 32-bit program's own copies are
  // separate processes and meet each other in the end-to-end tests.
  if (sizeof(void*) == 4) GTEST_SKIP() << "qemu-i386, threads and pipes";
  const app::TokenFacts full{false, TokenElevationTypeFull, true};
  struct Row {
    app::TokenFacts token;
    app::ShellStanding shell;
    DWORD start_answer;
    int serve_requests;
    const char* arguments;
    int exit_code;
    const char* started;  // how the other process was started; "" for none
    std::size_t steps;    // the fakes' steps and boxes
  };
  const app::TokenFacts limited{false, TokenElevationTypeLimited, false};
  const Row rows[] = {
      {limited, app::ShellStanding::none, ERROR_SUCCESS, 1000, "/passive /log x %C:\\M\\", 0,
       "elevated /merivane-part machine", 8},
      {full, app::ShellStanding::other_level, ERROR_SUCCESS, 1000, "/quiet /log x %C:\\M\\", 0,
       "shell /merivane-part user", 8},
      {full, app::ShellStanding::other_level, ERROR_ACCESS_DENIED, 1000, "/quiet %C:\\M\\", 0,
       "shell /merivane-part user", 8},
      {full, app::ShellStanding::as_this, ERROR_SUCCESS, 1000, "/quiet %C:\\M\\", 0, "", 8},
      {limited, app::ShellStanding::none, ERROR_CANCELLED, 1000, "/passive %C:\\M\\", 1602,
       "elevated /merivane-part machine", 0},
      // Interactive: the confirmation, and no box after the prompt was declined.
      {limited, app::ShellStanding::none, ERROR_CANCELLED, 1000, "/log x %C:\\M\\", 0,
       "elevated /merivane-part machine", 1},
      {limited, app::ShellStanding::none, ERROR_FILE_NOT_FOUND, 1000, "/passive %C:\\M\\", 1603,
       "elevated /merivane-part machine", 0},
      {limited, app::ShellStanding::none, ERROR_SUCCESS, 1000, "/quiet /log x %C:\\M\\", 1603, "",
       0},
      // Gone after the restore point's begin and the file step: the rest fails at once.
      {limited, app::ShellStanding::none, ERROR_SUCCESS, 2, "/passive %C:\\M\\", 1603,
       "elevated /merivane-part machine", 5},
  };
  const std::string directory = "C:\\merivane-tests\\parts";
  testbed::make_directories(directory);
  for (const Row& row : rows) {
    const unsigned at = unsigned(&row - rows);
    world = World{};
    placement = Placement{row.token, row.shell, row.start_answer, row.serve_requests, {}};
    std::string arguments = row.arguments;
    if (const auto log = arguments.find("/log x"); log != std::string::npos)
      arguments.replace(log, 6, "/log " + directory + "\\run.log");
    int exit_code = -1;
    const DWORD begun = GetTickCount();
    {
      app::ProgramParts parts(fakes, fake_processes);
      exit_code = app::run_with_switches("UninstallMV.exe", arguments.c_str(), fakes, &parts);
    }
    EXPECT_LT(GetTickCount() - begun, 20000u) << at << " waited for a part that was gone";
    EXPECT_EQ(exit_code, row.exit_code) << at;
    const std::string started = placement.started.empty() ? "" : placement.started.front();
    EXPECT_EQ(started.rfind(row.started, 0), 0u) << at << " " << started;
    const auto steps = std::count_if(world.events.begin(), world.events.end(),
                                     [](const std::string& event) {
                                       return event.find("sleep") == std::string::npos &&
                                              event.find("show") == std::string::npos &&
                                              event.find("enable") == std::string::npos &&
                                              event.find("failed") == std::string::npos &&
                                              event.find("dialog") == std::string::npos;
                                     });
    EXPECT_EQ(std::size_t(steps), row.steps) << at << testing::PrintToString(world.events);
    // A part in another process reports what it does here: the same lines, but for where.
    if (row.steps == 8 && arguments.find("/log") != std::string::npos) {
      const auto without_where = [&] {
        std::vector<std::string> lines;
        for (const std::string& line : testbed::read_lines(directory + "\\run.log"))
          if (line.find(" parts ") == std::string::npos) lines.push_back(line.substr(24));
        return lines;
      };
      const auto there = without_where();
      DeleteFileA((directory + "\\run.log").c_str());
      world = World{};
      EXPECT_EQ(app::run_with_switches("UninstallMV.exe", arguments.c_str(), fakes), row.exit_code);
      EXPECT_EQ(there, without_where()) << at;
      EXPECT_EQ(testbed::count_with(there, {"moved_to="}), 1u) << at;
    }
    DeleteFileA((directory + "\\run.log").c_str());
  }
  testbed::remove_tree(directory);
}

// The other process ends when the sequence's side is gone without a word (killed, crashed),
// and ends the restore point it had begun rather than leaving it open.
TEST_F(Uninstall, APartWhoseSequenceIsGoneEndsAndClosesItsRestorePoint) {
  if (sizeof(void*) == 4) GTEST_SKIP() << "qemu-i386, threads and pipes (as above)";
  placement = Placement{};
  placement.started.push_back("elevated /merivane-part machine "
                              "\\\\.\\pipe\\Quillaburst.Merivane.Part.test 1");
  base::unique_handle other;
  {
    app::PartPipe pipe;
    ASSERT_TRUE(pipe.create("\\\\.\\pipe\\Quillaburst.Merivane.Part.test", nullptr));
    other.reset(CreateThread(nullptr, 0, other_process, nullptr, 0, nullptr));
    ASSERT_TRUE(pipe.wait_for_connection(10000));
    app::PartClient client(pipe);
    EXPECT_EQ(client.begin_restore_point(), 4711);
  }
  EXPECT_EQ(WaitForSingleObject(other.get(), 10000), WAIT_OBJECT_0) << "it waits for the gone";
  EXPECT_EQ(world.events, (std::vector<std::string>{"begin restore point", "end restore point"}));
}

// ---- a removal for every user ------------------------------------------------------------

// What the fake fleet answers: three people, sessions for two of them whose user's part ends
// with the code given (or never, within the bound), and a logon registration that holds or not.
struct Fleet {
  std::vector<DWORD> session_exits;  // per session; STILL_ACTIVE: never ends
  bool registers = true;
  std::vector<std::string> started;
};
Fleet fleet_world;

// Set when the test is over: a session's part that "never ends" ends then, before the
// process does (a 32-bit process under qemu-i386 dies at its end beside a live thread).
base::unique_handle test_over(CreateEventA(nullptr, TRUE, FALSE, nullptr));

DWORD WINAPI session_part(void* exit_code) {
  const auto code = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(exit_code));
  if (code == STILL_ACTIVE) WaitForSingleObject(test_over.get(), 10000);
  return code;
}

const app::FleetSystem fake_fleet{
    [] {
      return std::vector<removal::UserProfile>{
          {"S-1-5-21-9-1", "C:\\users\\a"}, {"S-1-5-21-9-2", "C:\\users\\b"},
          {"S-1-5-21-9-3", "C:\\users\\c"}};
    },
    [](const removal::UserProfile& profile, removal::Report*) {
      record("profile " + profile.sid);
      removal::ProfileOutcome outcome;
      outcome.hive = removal::HiveReach::loaded_now;
      outcome.settings_removed = outcome.shortcut_removed = true;
      return outcome;
    },
    [] {
      std::vector<app::UserSession> sessions;
      for (std::size_t at = 0; at < fleet_world.session_exits.size(); ++at) {
        app::UserSession session;
        session.id = DWORD(at + 1);
        session.sid = "S-1-5-21-9-" + std::to_string(at + 1);
        sessions.push_back(std::move(session));
      }
      return sessions;
    },
    [](HANDLE, const char* log_path, base::unique_handle& process) {
      const DWORD exit_code = fleet_world.session_exits[fleet_world.started.size()];
      fleet_world.started.push_back(log_path);
      testbed::write_file(log_path, "2026-12-08 10:00:00.000 exit code " +
                                        std::to_string(exit_code) + "\r\n");
      process.reset(CreateThread(nullptr, 0, session_part,
                                 reinterpret_cast<void*>(UINT_PTR{exit_code}), 0, nullptr));
      return DWORD{ERROR_SUCCESS};
    },
    [](HANDLE thread, DWORD limit_ms, DWORD& exit_code) {
      return WaitForSingleObject(thread, limit_ms) == WAIT_OBJECT_0 &&
             GetExitCodeThread(thread, &exit_code) != FALSE;
    },
    [](std::string& version, unsigned long& error) {
      version = "1,2,3,4";
      error = fleet_world.registers ? 0 : ERROR_ACCESS_DENIED;
      return fleet_world.registers;
    },
    300,
};

// The system account, or /allusers, runs the machine's part here and each person's through
// the profiles, the sessions and the logon; the run's own Outlook, settings and desktop are
// never touched. A session's part is waited for within the bound, and one not done is the
// logon's; without a registration for the logon the run fails.
TEST_F(Uninstall, ARemovalForEveryUserDoesEachPersonsPartAsThatPerson) {
  // The sessions' parts are played by threads of this process, which a 32-bit process under
  // qemu-i386 does not always survive (a segmentation fault in the lane, seen); the 32-bit
  // program's own fleet run is an end-to-end case.
  if (sizeof(void*) == 4) GTEST_SKIP() << "qemu-i386 and threads";
  const app::TokenFacts system{true, TokenElevationTypeDefault, true};
  const app::TokenFacts administrator{false, TokenElevationTypeFull, true};
  const app::TokenFacts limited{false, TokenElevationTypeLimited, false};
  struct Row {
    app::TokenFacts token;
    const char* switches;
    std::vector<DWORD> session_exits;
    bool registers;
    int exit_code;
    const char* told;  // a line of the log
  };
  const Row rows[] = {
      {system, "/quiet", {}, true, 0, "fleet profiles=3 done=0 deferred=3 failed=0"},
      {system, "/passive", {0, 1603}, true, 0, "fleet profiles=3 done=1 deferred=2 failed=0"},
      {administrator, "/allusers", {0, STILL_ACTIVE}, true, 0,
       "session id=2 sid=S-1-5-21-9-2 process="},
      {administrator, "/allusers", {0}, false, 1603, "fleet profiles=3 done=1 deferred=0 failed=2"},
      {limited, "/allusers /passive", {}, true, 1603, "parts needs_administrator"},
      {administrator, "/quiet", {}, true, 0, "parts user=here machine=here"},
  };
  const std::string directory = "C:\\merivane-tests\\fleet";
  testbed::make_directories(directory);
  const std::string log = directory + "\\fleet.log";
  for (const Row& row : rows) {
    const unsigned at = unsigned(&row - rows);
    world = World{};
    fleet_world = Fleet{row.session_exits, row.registers, {}};
    DeleteFileA(log.c_str());
    placement = Placement{};
    placement.token = row.token;
    app::ProgramParts parts(fakes, fake_processes);
    app::FleetParts fleet(fakes, row.token, fake_fleet);
    const std::string arguments = std::string(row.switches) + " /log " + log + " %C:\\M\\";
    const DWORD begun = GetTickCount();
    EXPECT_EQ(app::run_with_switches("UninstallMV.exe", arguments.c_str(), fakes, &parts, &fleet),
              row.exit_code)
        << at;
    EXPECT_LT(GetTickCount() - begun, 3000u) << at << " waited past the session's bound";
    const auto lines = testbed::read_lines(log);
    EXPECT_EQ(testbed::count_with(lines, {row.told}), 1u) << at << testing::PrintToString(lines);
    const bool for_every_user = row.token.system || std::strstr(row.switches, "/allusers");
    const auto ran = [&](const char* event) {
      return std::find(world.events.begin(), world.events.end(), event) != world.events.end();
    };
    const bool ready = std::strstr(row.told, "needs_administrator") == nullptr;
    EXPECT_EQ(ran("outlook") || ran("settings") || ran("desktop shortcut"),
              ready && !for_every_user)
        << at << " the run's own user's part";
    EXPECT_EQ(ran("files C:\\M\\") && ran("programs shortcut"), ready) << at;
    EXPECT_EQ(ran("start dialog"), ready && !row.token.system && std::strstr(row.switches, "/passive"))
        << at << " the system account has no desktop anyone sees";
    EXPECT_EQ(fleet_world.started.size(), row.session_exits.size()) << at;
    // Each session's own log is taken into this one, and gone.
    for (std::size_t session = 0; session < row.session_exits.size(); ++session) {
      const std::string taken = "session " + std::to_string(session + 1) + ": 2026-12-08";
      EXPECT_EQ(testbed::count_with(lines, {taken.c_str()}), 1u) << at;
      EXPECT_FALSE(testbed::file_exists(fleet_world.started[session])) << at;
    }
  }
  SetEvent(test_over.get());
  Sleep(200);
  testbed::remove_tree(directory);
}

}  // namespace
