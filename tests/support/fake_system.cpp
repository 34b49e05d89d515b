#include "tests/support/fake_system.h"

#include <cstdio>
#include <cstring>

#include "base/path_text.h"

namespace test_support {

using app::DialogState;

World world;

void record(const std::string& event) { world.events.push_back(event); }

// Records the event and gives the answer.
template <typename Answer>
Answer recorded(const char* event, Answer answer) {
  record(event);
  return answer;
}

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
    .start_progress_dialog = [] { return recorded("start dialog", true); },
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
          if (world.outlook_failure != 0) {
            if (report != nullptr) report->outlook_failed("application", world.outlook_failure);
            return false;
          }
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
        [](removal::Report*) { return recorded("uninstall entry", world.registry_result); },
    .remove_user_settings =
        [](removal::Report*) { return recorded("settings", world.settings_result); },
    .remove_desktop_shortcut =
        [](removal::Report*) { return recorded("desktop shortcut", world.desktop_result); },
    .remove_programs_shortcut =
        [](removal::Report*) {
          record("programs shortcut");
          if (world.shortcuts_throw) throw 1;
          return world.shortcuts_result;
        },
    .begin_restore_point = [] { return recorded("begin restore point", std::int64_t{4711}); },
    .end_restore_point = [] { return recorded("end restore point", std::int64_t{4711}); },
    .own_directory =
        [](char* buffer, std::size_t capacity) {
          base::copy_path(buffer, capacity, world.own_directory.c_str());
          return buffer;
        },
    .open_document = [](const char* path) { record("open " + std::string(path)); },
};

}  // namespace test_support
