#pragma once
// The two parts of a removal, as the sequence asks them for their work. The user's part is what
// belongs to the user who removes the add-in (the tasks in the user's Outlook, the user's
// settings, the desktop shortcut) and runs at that user's own level; the machine's part (the
// restore point, the program files, the uninstall entry, the all-users Programs shortcut) runs
// elevated. Whether a part runs in this process or in another process of the program is the
// business of whoever hands the parts to the sequence, never of the sequence.

#include <windows.h>

#include <cstdint>

#include "outlook/conversion.h"
#include "removal/report.h"
#include "sequence/mode.h"

namespace app {

class UserPart {
 public:
  // Step 1.
  virtual bool convert_outlook_tasks(bool& needs_manual_form_step,
                                     outlook::ConversionReport* report,
                                     const outlook::StepEnvironment& environment) = 0;
  // Step 3's and step 4's halves of the user's.
  virtual bool remove_user_settings(removal::Report* report) = 0;
  virtual bool remove_desktop_shortcut(removal::Report* report) = 0;
  // The notes document of the manual form step, opened where the user sees it; false when it
  // was not (its path does not fit, or nobody is there to see it).
  virtual bool open_notes_document() = 0;

 protected:
  ~UserPart() = default;
};

class MachinePart {
 public:
  // Each answers the restore point's sequence number, as the platform gave it or handed back.
  virtual std::int64_t begin_restore_point() = 0;
  virtual std::int64_t end_restore_point() = 0;
  // Step 2.
  virtual removal::StepResult remove_program_files(const char* install_dir,
                                                   removal::Report* report) = 0;
  // Step 3's and step 4's halves of the machine's.
  virtual bool remove_uninstall_entry(removal::Report* report) = 0;
  virtual bool remove_programs_shortcut(removal::Report* report) = 0;

 protected:
  ~MachinePart() = default;
};

// What came of getting both parts ready, once the user has said Yes and before anything is
// changed.
enum class PartsReady {
  ready,
  declined,             // the user declined to give the machine's part an administrator's rights
  needs_administrator,  // the machine's part needs rights that a quiet run may not ask for
  failed,               // the process for a part could not be started
};

class RunLog;

class RemovalParts {
 public:
  // Tells the log (if any) where each part runs. install_dir is the one the machine's part
  // removes: a part in another process is given it when it starts, and never asked for another.
  virtual PartsReady get_ready(const char* install_dir, Mode mode, RunLog* log) = 0;
  virtual UserPart& user() = 0;
  virtual MachinePart& machine() = 0;

 protected:
  ~RemovalParts() = default;
};

}  // namespace app
