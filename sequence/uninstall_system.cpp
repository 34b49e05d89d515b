// The uninstall sequence wired to Win32 and to the program's steps.

#include <windows.h>
#include <shellapi.h>

#include "base/own_directory.h"
#include "outlook/conversion.h"
#include "removal/program_files.h"
#include "removal/registry_entries.h"
#include "removal/shortcuts.h"
#include "sequence/app_instance.h"
#include "sequence/restore_point.h"
#include "sequence/uninstall.h"

namespace app {

namespace {

int show_message(const char* text, UINT type) {
  return MessageBoxA(nullptr, text, "Merivane", type);
}

int load_program_string(UINT id, char* buffer, int limit) {
  const int length = LoadStringA(app_instance, id, buffer, limit);
  if (length == 0 && limit > 0) buffer[0] = '\0';
  return length;
}

void pause(DWORD milliseconds) { Sleep(milliseconds); }

bool outlook_main_window_exists() { return FindWindowA("rctrl_renwnd32", nullptr) != nullptr; }

void open_with_default_action(const char* path) {
  ShellExecuteA(nullptr, nullptr, path, nullptr, ".", SW_SHOWDEFAULT);
}

std::int64_t begin_and_number() {
  begin_restore_point();
  return restore_sequence_number;
}

std::int64_t end_and_number() {
  end_restore_point();
  return restore_sequence_number;
}

}  // namespace

const UninstallSystem& win32_uninstall_system() {
  static const UninstallSystem system{
      .message_box = show_message,
      .load_string = load_program_string,
      .sleep = pause,
      .start_progress_dialog = start_progress_dialog,
      .progress_dialog_state = progress_dialog_state,
      .show_label = show_label,
      .enable_label = enable_label,
      .mark_label_failed = mark_label_failed,
      .convert_outlook_tasks = outlook::convert_outlook_tasks,
      .outlook_window_exists = outlook_main_window_exists,
      .remove_program_files = removal::remove_program_files,
      .remove_uninstall_entry = removal::remove_uninstall_entry,
      .remove_user_settings = removal::remove_user_settings,
      .remove_desktop_shortcut = removal::remove_desktop_shortcut,
      .remove_programs_shortcut = removal::remove_programs_shortcut,
      .begin_restore_point = begin_and_number,
      .end_restore_point = end_and_number,
      .own_directory = base::own_directory,
      .open_document = open_with_default_action,
  };
  return system;
}

}  // namespace app
