#pragma once
// The uninstall sequence: confirmation, progress dialog, the four steps in their order with
// their pauses and labels, the restore point around the file steps, the notes document and
// the one final message. Unattended runs leave out what is there for a person at the screen.

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "app/command_line.h"
#include "app/progress_dialog.h"
#include "outlook/conversion.h"
#include "removal/report.h"

namespace app {

// Everything a run tells its log: the steps' own reports and the sequence's events.
class RunLog : public outlook::ConversionReport, public removal::Report {
 public:
  virtual void step_started(int step) = 0;
  virtual void step_ended(int step, bool succeeded) = 0;
  virtual void restore_point(const char* event, std::int64_t sequence_number) = 0;
  virtual void manual_form_step() = 0;

 protected:
  ~RunLog() = default;
};

// Everything the sequence reaches outside itself. The program wires it to Win32 and the
// steps; tests wire it to fakes. A step's report is the run's log, or none.
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
  bool (*remove_program_files)(const char* install_dir, removal::Report* report);
  bool (*remove_registry_entries)(removal::Report* report);
  bool (*remove_shortcuts)(removal::Report* report);
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
FinalMessage final_message(bool any_step_failed, bool needs_manual_form_step);

struct RunOutcome {
  bool done = false;  // the steps ran (the user confirmed, or nobody was asked)
  bool any_step_failed = false;
};

// Runs once, on the main thread. install_dir is the text behind the "%" of the command line.
// A passive run shows the dialog only; a quiet one shows nothing and makes no pause.
RunOutcome run_uninstall(const char* install_dir, const UninstallSystem& system, Mode mode,
                         RunLog* log);
void run_uninstall(const char* install_dir,
                   const UninstallSystem& system = win32_uninstall_system());

}  // namespace app
