#pragma once
// The uninstall sequence: confirmation, progress dialog, the four steps in their order with
// their pauses and labels, the restore point around the file steps, the notes document and
// the one final message. Unattended runs leave out what is there for a person at the screen.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "outlook/conversion.h"
#include "removal/report.h"
#include "sequence/mode.h"
#include "sequence/parts.h"
#include "sequence/progress_dialog.h"

namespace app {

// Everything a run tells its log: the steps' own reports and the sequence's events.
class RunLog : public outlook::ConversionReport, public removal::Report {
 public:
  virtual void step_started(int step) = 0;
  virtual void step_ended(int step, bool succeeded) = 0;
  virtual void restore_point(const char* event, std::int64_t sequence_number) = 0;
  virtual void manual_form_step() = 0;
  // Where the removal's parts run, or why they could not be had: one line of the log's words.
  virtual void parts_placed(const char* placement) = 0;
  // A line of a removal for every user, in the log's words.
  virtual void fleet_line(const std::string& text) = 0;

 protected:
  ~RunLog() = default;
};

// Everything the sequence reaches outside itself. The program wires it to Win32 and the
// steps; tests wire it to fakes. A step's report is the run's log, or none. The steps are those
// of both parts run in this process.
struct UninstallSystem {
  int (*message_box)(const char* text, UINT type);  // no owner, caption "Merivane"
  int (*load_string)(UINT id, char* buffer, int limit);
  void (*sleep)(DWORD milliseconds);
  bool (*start_progress_dialog)();
  DialogState (*progress_dialog_state)();
  void (*show_label)(int id);
  void (*enable_label)(int id);
  void (*mark_label_failed)(int id);
  bool (*convert_outlook_tasks)(bool& needs_manual_form_step, outlook::ConversionReport* report,
                                const outlook::StepEnvironment& environment);
  bool (*outlook_window_exists)();  // a top-level window of Outlook's main window class
  removal::StepResult (*remove_program_files)(const char* install_dir, removal::Report* report);
  bool (*remove_uninstall_entry)(removal::Report* report);
  bool (*remove_user_settings)(removal::Report* report);
  bool (*remove_desktop_shortcut)(removal::Report* report);
  bool (*remove_programs_shortcut)(removal::Report* report);
  // Each answers the restore point's sequence number, as the platform gave it or handed back.
  std::int64_t (*begin_restore_point)();
  std::int64_t (*end_restore_point)();
  char* (*own_directory)(char* buffer, std::size_t capacity);
  void (*open_document)(const char* path);  // the file type's default action, directory "."
};

// The program's own wiring.
const UninstallSystem& win32_uninstall_system();

struct FinalMessage {
  UINT string_id;
  UINT box_type;
};
// at_restart: some files are left for the platform to delete at the next restart.
FinalMessage final_message(bool any_step_failed, bool needs_manual_form_step,
                           bool at_restart = false);

// Both parts in this process, through the system's steps.
class LocalParts final : public RemovalParts, UserPart, MachinePart {
 public:
  explicit LocalParts(const UninstallSystem& system) : system_(system) {}
  PartsReady get_ready(const char*, Mode, RunLog*) override { return PartsReady::ready; }
  UserPart& user() override { return *this; }
  MachinePart& machine() override { return *this; }

  bool convert_outlook_tasks(bool& needs_manual_form_step, outlook::ConversionReport* report,
                             const outlook::StepEnvironment& environment) override {
    return system_.convert_outlook_tasks(needs_manual_form_step, report, environment);
  }
  bool remove_user_settings(removal::Report* report) override {
    return system_.remove_user_settings(report);
  }
  bool remove_desktop_shortcut(removal::Report* report) override {
    return system_.remove_desktop_shortcut(report);
  }
  bool open_notes_document() override;
  std::int64_t begin_restore_point() override { return system_.begin_restore_point(); }
  std::int64_t end_restore_point() override { return system_.end_restore_point(); }
  removal::StepResult remove_program_files(const char* install_dir,
                                           removal::Report* report) override {
    return system_.remove_program_files(install_dir, report);
  }
  bool remove_uninstall_entry(removal::Report* report) override {
    return system_.remove_uninstall_entry(report);
  }
  bool remove_programs_shortcut(removal::Report* report) override {
    return system_.remove_programs_shortcut(report);
  }

 private:
  const UninstallSystem& system_;
};

struct RunOutcome {
  bool done = false;  // the steps ran (the user confirmed, or nobody was asked)
  PartsReady parts = PartsReady::ready;  // why they did not, when the user confirmed
  bool any_step_failed = false;
  bool at_restart = false;  // some files are left for the platform to delete at the next restart
};

// Runs once, on the main thread. install_dir is the text behind the "%" of the command line.
// A passive run shows the dialog only; a quiet one shows nothing and makes no pause. The
// steps are asked of the parts; without parts given, both run here.
RunOutcome run_uninstall(const char* install_dir, const UninstallSystem& system, Mode mode,
                         RunLog* log);
RunOutcome run_uninstall(const char* install_dir, const UninstallSystem& system, Mode mode,
                         RunLog* log, RemovalParts& parts);
void run_uninstall(const char* install_dir,
                   const UninstallSystem& system = win32_uninstall_system());

}  // namespace app
