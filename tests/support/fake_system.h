#pragma once
// The sequence's whole outside world as fakes that record what they are asked and answer as
// the test sets them: shared by the tests of the sequence and of everything that runs it.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "sequence/uninstall.h"

namespace test_support {

// What the fakes answer, and what they saw.
struct World {
  int confirmation_answer = IDYES;
  bool outlook_open_elsewhere = false;
  int close_outlook_answer = IDRETRY;
  std::vector<app::DialogState> dialog_states = {app::DialogState::pending,
                                                app::DialogState::shown};
  std::size_t states_asked = 0;
  bool outlook_result = true;
  long outlook_failure = 0;  // the making of Outlook's object fails so, and step 1 with it
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
extern World world;

void record(const std::string& event);

// Every call recorded in world.events; the dialog's states come from world.dialog_states.
extern const app::UninstallSystem fakes;

// A test that starts from the fakes' own answers.
class FreshWorld : public ::testing::Test {
 protected:
  void SetUp() override { world = World{}; }
};

}  // namespace test_support
