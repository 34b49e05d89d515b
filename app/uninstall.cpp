#include "app/uninstall.h"

#include "app/path_text.h"
#include "res/resource.h"

namespace app {

namespace {

constexpr int message_limit = 500;
constexpr DWORD dialog_poll_ms = 200;
constexpr DWORD step_pause_ms = 1000;
constexpr char notes_document[] = "UninstallMV.doc";

// A step's outcome on its result label; true when it failed.
bool mark_outcome(const UninstallSystem& system, bool succeeded, int result_label) {
  if (succeeded) {
    system.show_label(result_label);
    return false;
  }
  system.mark_label_failed(result_label);
  return true;
}

// The label of the next step is enabled, then the step waits its pause.
void enable_next(const UninstallSystem& system, int caption_label) {
  system.enable_label(caption_label);
  system.sleep(step_pause_ms);
}

// The notes document from the program's own directory, never from install_dir (step 2 has
// deleted a file of that name there). A directory too long for the name is not shortened
// into another path: the document is left out.
void open_notes_document(const UninstallSystem& system) {
  char path[path_capacity];
  system.own_directory(path, sizeof path);
  if (!append_path(path, notes_document)) return;
  system.open_document(path);
  system.sleep(step_pause_ms);
}

}  // namespace

FinalMessage final_message(bool any_step_failed, bool needs_manual_form_step) {
  if (any_step_failed) {
    return {
        needs_manual_form_step ? UINT{IDS_SOME_NOT_REMOVED_FORM_STEP} : UINT{IDS_SOME_NOT_REMOVED},
        MB_ICONEXCLAMATION};
  }
  return {needs_manual_form_step ? UINT{IDS_UNINSTALLED_FORM_STEP} : UINT{IDS_UNINSTALLED},
          MB_ICONINFORMATION};
}

void run_uninstall(const char* install_dir, const UninstallSystem& system) {
  char message[message_limit];
  system.load_string(IDS_CONFIRM_REMOVAL, message, message_limit);
  if (system.message_box(message, MB_YESNO | MB_ICONQUESTION) != IDYES) return;

  bool any_step_failed = false;
  system.start_progress_dialog();
  // A dialog that could not be made is not waited for: the steps run without it.
  while (system.progress_dialog_state() == DialogState::pending) system.sleep(dialog_poll_ms);

  bool needs_manual_form_step = true;
  if (!system.convert_outlook_tasks(needs_manual_form_step)) {
    any_step_failed = true;
    system.mark_label_failed(first_result_label);
  }
  system.show_label(first_result_label);

  enable_next(system, first_caption_label + 1);
  system.begin_restore_point();
  any_step_failed |=
      mark_outcome(system, system.remove_program_files(install_dir), first_result_label + 1);

  enable_next(system, first_caption_label + 2);
  any_step_failed |= mark_outcome(system, system.remove_registry_entries(), first_result_label + 2);

  enable_next(system, first_caption_label + 3);
  any_step_failed |= mark_outcome(system, system.remove_shortcuts(), first_result_label + 3);

  if (needs_manual_form_step) open_notes_document(system);

  const FinalMessage final = final_message(any_step_failed, needs_manual_form_step);
  system.load_string(final.string_id, message, message_limit);
  system.message_box(message, MB_OK | final.box_type);
  system.end_restore_point();
}

}  // namespace app
