// The uninstall sequence wired to Win32 and to the program's steps.

#include <windows.h>
#include <shellapi.h>

#include "app/app_instance.h"
#include "app/own_directory.h"
#include "app/restore_point.h"
#include "app/uninstall.h"
#include "outlook/conversion.h"
#include "removal/program_files.h"
#include "removal/registry_entries.h"
#include "removal/shortcuts.h"

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

void open_with_default_action(const char* path) {
  ShellExecuteA(nullptr, nullptr, path, nullptr, ".", SW_SHOWDEFAULT);
}

}  // namespace

const UninstallSystem& win32_uninstall_system() {
  static const UninstallSystem system{
      show_message,
      load_program_string,
      pause,
      start_progress_dialog,
      progress_dialog_state,
      show_label,
      enable_label,
      mark_label_failed,
      outlook::convert_outlook_tasks,
      removal::remove_program_files,
      removal::remove_registry_entries,
      removal::remove_shortcuts,
      begin_restore_point,
      end_restore_point,
      own_directory,
      open_with_default_action,
  };
  return system;
}

}  // namespace app
