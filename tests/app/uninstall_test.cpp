// The uninstall sequence through fakes: what it calls, in which order, with what.

#include "app/uninstall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/path_text.h"

namespace {

using app::DialogState;

// What the fakes answer, and what they saw.
struct World {
  int confirmation_answer = IDYES;
  std::vector<DialogState> dialog_states = {DialogState::pending, DialogState::shown};
  std::size_t states_asked = 0;
  bool outlook_result = true;
  bool needs_manual_form_step = false;
  bool files_result = true;
  bool registry_result = true;
  bool shortcuts_result = true;
  std::string own_directory = "C:\\Program Files\\Quillaburst\\Merivane\\";
  std::vector<std::string> events;
};
World world;

void record(const std::string& event) { world.events.push_back(event); }

const app::UninstallSystem fakes{
    [](const char* text, UINT type) {
      record("box " + std::string(text) + " type " + std::to_string(type));
      return std::string(text) == "string 2" ? world.confirmation_answer : IDOK;
    },
    [](UINT id, char* buffer, int limit) {
      std::snprintf(buffer, static_cast<std::size_t>(limit), "string %u", id);
      return static_cast<int>(std::strlen(buffer));
    },
    [](DWORD milliseconds) { record("sleep " + std::to_string(milliseconds)); },
    [] {
      record("start dialog");
      return true;
    },
    [] {
      const auto& states = world.dialog_states;
      const DialogState state =
          world.states_asked < states.size() ? states[world.states_asked] : states.back();
      ++world.states_asked;
      return state;
    },
    [](int id) { record("show " + std::to_string(id)); },
    [](int id) { record("enable " + std::to_string(id)); },
    [](int id) { record("failed " + std::to_string(id)); },
    [](bool& needs_manual_form_step) {
      record("outlook");
      needs_manual_form_step = world.needs_manual_form_step;
      return world.outlook_result;
    },
    [](const char* install_dir) {
      record("files " + std::string(install_dir));
      return world.files_result;
    },
    [] {
      record("registry");
      return world.registry_result;
    },
    [] {
      record("shortcuts");
      return world.shortcuts_result;
    },
    [] { record("begin restore point"); },
    [] { record("end restore point"); },
    [](char* buffer, std::size_t capacity) {
      app::copy_path(buffer, capacity, world.own_directory.c_str());
      return buffer;
    },
    [](const char* path) { record("open " + std::string(path)); },
};

std::vector<std::string> run(const char* install_dir = "C:\\Merivane\\") {
  world.events.clear();
  world.states_asked = 0;
  app::run_uninstall(install_dir, fakes);
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
                       "registry",
                       "show 1006",
                       "enable 1003",
                       "sleep 1000",
                       "shortcuts",
                       "show 1007",
                       "box string 5 type 64",
                       "end restore point",
                   }));
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
  EXPECT_NE(std::find(events.begin(), events.end(), "shortcuts"), events.end());
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
    UINT string_id;
    UINT type;
  };
  for (const Row row :
       {Row{false, false, 5, MB_ICONINFORMATION}, Row{false, true, 7, MB_ICONINFORMATION},
        Row{true, false, 3, MB_ICONEXCLAMATION}, Row{true, true, 8, MB_ICONEXCLAMATION}}) {
    const app::FinalMessage message = app::final_message(row.failed, row.manual);
    EXPECT_EQ(message.string_id, row.string_id);
    EXPECT_EQ(message.box_type, row.type);

    world = World{};
    world.registry_result = !row.failed;
    world.needs_manual_form_step = row.manual;
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

}  // namespace
