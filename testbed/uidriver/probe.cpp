// uidriver_probe [--fail ID] [--exclamation] [--closable]
//
// Behaves towards the user as the uninstaller does, without removing anything, so that the
// driver can be tested on its own: the confirmation, the progress dialog on a thread of its
// own whose labels change about every 100 ms, then the final box; exit code 0.
//
//   --fail ID       result label ID reads "Failed"
//   --exclamation   the final box has the exclamation icon and a two-paragraph text
//   --closable      the dialog ends on IDCANCEL, as the uninstaller's must not

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "base/unique_any.h"

namespace {

constexpr int dialog_id = 1;
constexpr DWORD step_pause_ms = 100;

std::atomic<HWND> dialog_handle{nullptr};
bool closable = false;

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) dialog_handle = dialog;
  if (closable && message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) EndDialog(dialog, 0);
  return FALSE;
}

DWORD WINAPI dialog_thread(LPVOID) {
  DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(dialog_id), nullptr, dialog_proc, 0);
  return 0;
}

void pause_then(HWND dialog, int id, bool enable, bool failed) {
  Sleep(step_pause_ms);
  const HWND label = GetDlgItem(dialog, id);
  if (enable) {
    EnableWindow(label, TRUE);
    return;
  }
  if (failed) SetWindowTextA(label, "Failed");
  ShowWindow(label, SW_SHOWNA);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int failed_id = 0;
  bool exclamation = false;
  for (int index = 1; index < __argc; ++index) {
    if (std::strcmp(__argv[index], "--fail") == 0 && index + 1 < __argc)
      failed_id = std::atoi(__argv[++index]);
    else if (std::strcmp(__argv[index], "--exclamation") == 0)
      exclamation = true;
    else if (std::strcmp(__argv[index], "--closable") == 0)
      closable = true;
  }

  if (MessageBoxA(nullptr,
                  "Are you sure you want to completely remove Merivane from your computer?",
                  "Merivane", MB_YESNO | MB_ICONQUESTION) != IDYES)
    return 0;

  DWORD thread_id = 0;
  const base::unique_handle thread(CreateThread(nullptr, 0, dialog_thread, nullptr, 0, &thread_id));
  if (!thread) return 2;
  for (int tries = 0; dialog_handle == nullptr; ++tries) {
    if (tries == 1000) return 3;
    Sleep(10);
  }
  const HWND dialog = dialog_handle;

  // The uninstaller's order: each result, then the next caption.
  pause_then(dialog, 1004, false, failed_id == 1004);
  for (int step = 1; step < 4; ++step) {
    pause_then(dialog, 1000 + step, true, false);
    pause_then(dialog, 1004 + step, false, failed_id == 1004 + step);
  }

  if (exclamation)
    MessageBoxA(nullptr, "The probe \"failed\".\n\nSee C:\\probe\\log.", "Merivane",
                MB_OK | MB_ICONEXCLAMATION);
  else
    MessageBoxA(nullptr, "The probe finished.", "Merivane", MB_OK | MB_ICONINFORMATION);
  return 0;
}
