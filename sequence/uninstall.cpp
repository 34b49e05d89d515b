#include "sequence/uninstall.h"

#include "base/path_text.h"
#include "res/resource.h"

namespace app {

namespace {

constexpr int message_limit = 500;
constexpr DWORD dialog_poll_ms = 200;
constexpr DWORD step_pause_ms = 1000;
constexpr char notes_document[] = "UninstallMV.doc";

// One run of the four steps, and what it shows of them: the dialog's labels and pauses only
// where the dialog is up for somebody to watch.
class Sequence {
 public:
  Sequence(const UninstallSystem& system, bool watched, RunLog* log)
      : system_(system), watched_(watched), log_(log) {}

  // Step 1 is the Outlook conversion; its caption is enabled from the start.
  void begin(int step) {
    if (step > 1 && watched_) {
      system_.enable_label(IDC_CAPTION_CONVERT + step - 1);
      system_.sleep(step_pause_ms);
    }
    if (log_ != nullptr) log_->step_started(step);
  }

  void end(int step, bool succeeded) {
    if (!succeeded) any_step_failed_ = true;
    if (watched_) {
      const int result_label = IDC_RESULT_CONVERT + step - 1;
      if (!succeeded) system_.mark_label_failed(result_label);
      // The first step's label is shown whatever its result, the others' on success.
      if (succeeded || step == 1) system_.show_label(result_label);
    }
    if (log_ != nullptr) log_->step_ended(step, succeeded);
  }

  void restore_point(const char* event, std::int64_t sequence_number) {
    if (log_ != nullptr) log_->restore_point(event, sequence_number);
  }

  bool any_step_failed() const { return any_step_failed_; }

 private:
  const UninstallSystem& system_;
  const bool watched_;
  RunLog* const log_;
  bool any_step_failed_ = false;
};

void wait_for_dialog(const UninstallSystem& system) {
  system.start_progress_dialog();
  // A dialog that could not be made is not waited for: the steps run without it.
  while (system.progress_dialog_state() == DialogState::pending) system.sleep(dialog_poll_ms);
}

// Outlook open at another integrity level: COM cannot bind to it, and only closing it helps.
bool ask_to_close_outlook(const void* context) {
  const UninstallSystem& system = *static_cast<const UninstallSystem*>(context);
  char message[message_limit];
  system.load_string(IDS_CLOSE_OUTLOOK, message, message_limit);
  return system.message_box(message, MB_RETRYCANCEL | MB_ICONEXCLAMATION) == IDRETRY;
}

// Only a person at the screen is asked to close Outlook.
outlook::StepEnvironment outlook_environment(const UninstallSystem& system, bool interactive) {
  outlook::StepEnvironment environment;
  environment.outlook_window_exists = system.outlook_window_exists;
  if (interactive) {
    environment.ask_to_close_outlook = ask_to_close_outlook;
    environment.context = &system;
  }
  return environment;
}

}  // namespace

// The notes document from the program's own directory, never from install_dir (step 2 has
// deleted a file of that name there). A directory too long for the name is not shortened
// into another path: the document is left out.
bool LocalParts::open_notes_document() {
  char path[base::path_capacity];
  system_.own_directory(path, sizeof path);
  if (!base::append_path(path, notes_document)) return false;
  system_.open_document(path);
  return true;
}

FinalMessage final_message(bool any_step_failed, bool needs_manual_form_step, bool at_restart) {
  if (any_step_failed) {
    return {
        needs_manual_form_step ? UINT{IDS_SOME_NOT_REMOVED_FORM_STEP} : UINT{IDS_SOME_NOT_REMOVED},
        MB_ICONEXCLAMATION};
  }
  if (at_restart) {
    return {needs_manual_form_step ? UINT{IDS_UNINSTALLED_AT_RESTART_FORM_STEP}
                                   : UINT{IDS_UNINSTALLED_AT_RESTART},
            MB_ICONINFORMATION};
  }
  return {needs_manual_form_step ? UINT{IDS_UNINSTALLED_FORM_STEP} : UINT{IDS_UNINSTALLED},
          MB_ICONINFORMATION};
}

void run_uninstall(const char* install_dir, const UninstallSystem& system) {
  run_uninstall(install_dir, system, Mode::interactive, nullptr);
}

RunOutcome run_uninstall(const char* install_dir, const UninstallSystem& system, Mode mode,
                         RunLog* log) {
  LocalParts here(system);
  return run_uninstall(install_dir, system, mode, log, here);
}

RunOutcome run_uninstall(const char* install_dir, const UninstallSystem& system, Mode mode,
                         RunLog* log, RemovalParts& parts) {
  const bool interactive = mode == Mode::interactive;
  char message[message_limit];
  if (interactive) {
    system.load_string(IDS_CONFIRM_REMOVAL, message, message_limit);
    if (system.message_box(message, MB_YESNO | MB_ICONQUESTION) != IDYES) return {};
  }
  // Nothing is changed unless both parts can be had: tasks converted while the add-in stays
  // installed would be taken from it.
  RunOutcome outcome;
  outcome.parts = parts.get_ready(install_dir, mode, log);
  if (outcome.parts != PartsReady::ready) {
    // Declining the prompt was the user's own answer; a part that could not be had is told.
    if (interactive && outcome.parts == PartsReady::failed) {
      system.load_string(IDS_SOME_NOT_REMOVED, message, message_limit);
      system.message_box(message, MB_OK | MB_ICONEXCLAMATION);
    }
    return outcome;
  }
  UserPart& user = parts.user();
  MachinePart& machine = parts.machine();

  const bool watched = mode != Mode::quiet;
  Sequence sequence(system, watched, log);
  if (watched) wait_for_dialog(system);

  outcome.done = true;
  sequence.begin(1);
  bool needs_manual_form_step = true;
  sequence.end(1, user.convert_outlook_tasks(needs_manual_form_step, log,
                                             outlook_environment(system, interactive)));

  sequence.begin(2);
  sequence.restore_point("begin", machine.begin_restore_point());
  const removal::StepResult files = machine.remove_program_files(install_dir, log);
  sequence.end(2, files.done);

  sequence.begin(3);
  const bool uninstall_entry = machine.remove_uninstall_entry(log);
  sequence.end(3, user.remove_user_settings(log) && uninstall_entry);

  sequence.begin(4);
  const bool desktop_shortcut = user.remove_desktop_shortcut(log);
  sequence.end(4, machine.remove_programs_shortcut(log) && desktop_shortcut);
  // Nothing follows the last result in a passive run: without a pause the dialog would be
  // gone before anyone saw it.
  if (mode == Mode::passive) system.sleep(step_pause_ms);

  if (needs_manual_form_step && log != nullptr) log->manual_form_step();
  if (interactive) {
    if (needs_manual_form_step && user.open_notes_document()) system.sleep(step_pause_ms);
    const FinalMessage final =
        final_message(sequence.any_step_failed(), needs_manual_form_step, files.at_restart);
    system.load_string(final.string_id, message, message_limit);
    system.message_box(message, MB_OK | final.box_type);
  }
  sequence.restore_point("end", machine.end_restore_point());
  outcome.any_step_failed = sequence.any_step_failed();
  outcome.at_restart = files.at_restart;
  return outcome;
}

}  // namespace app
