#pragma once
// The uninstall sequence: confirmation, progress dialog, the four steps in their order with
// their pauses and labels, the restore point around the file steps, the notes document and
// the one final message.

#include <windows.h>

#include <cstddef>

#include "app/progress_dialog.h"

namespace app {

// Everything the sequence reaches outside itself. The program wires it to Win32 and the
// steps; tests wire it to fakes.
struct UninstallSystem {
  int (*message_box)(const char* text, UINT type);  // no owner, caption "Merivane"
  int (*load_string)(UINT id, char* buffer, int limit);
  void (*sleep)(DWORD milliseconds);
  bool (*start_progress_dialog)();
  DialogState (*progress_dialog_state)();
  void (*show_label)(int id);
  void (*enable_label)(int id);
  void (*mark_label_failed)(int id);
  bool (*convert_outlook_tasks)(bool& needs_manual_form_step);
  bool (*remove_program_files)(const char* install_dir);
  bool (*remove_registry_entries)();
  bool (*remove_shortcuts)();
  void (*begin_restore_point)();
  void (*end_restore_point)();
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

// Runs once, on the main thread. install_dir is the text behind the "%" of the command line.
void run_uninstall(const char* install_dir,
                   const UninstallSystem& system = win32_uninstall_system());

}  // namespace app
