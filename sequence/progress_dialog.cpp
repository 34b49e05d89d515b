#include "sequence/progress_dialog.h"

#include "base/unique_any.h"
#include "res/resource.h"
#include "sequence/app_instance.h"

namespace app {

std::atomic<HWND> progress_dialog_handle{nullptr};

namespace {

constexpr SIZE_T dialog_thread_stack = 50000;
constexpr int failed_text_limit = 50;

// The sequence never waits for the thread; the handle only tells whether it has ended.
base::unique_handle dialog_thread;

HWND label(int id) {
  const HWND dialog = progress_dialog_handle.load();
  return dialog != nullptr ? GetDlgItem(dialog, id) : nullptr;
}

}  // namespace

DWORD WINAPI progress_dialog_thread(LPVOID) {
  DialogBoxParamA(app_instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, progress_dialog_proc, 0);
  return 0;
}

// Handles nothing: no focus, no command, and the close box and Escape do not end it.
INT_PTR CALLBACK progress_dialog_proc(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) progress_dialog_handle.store(dialog);
  return FALSE;
}

bool start_progress_dialog() {
  DWORD thread_id = 0;
  dialog_thread.reset(
      CreateThread(nullptr, dialog_thread_stack, progress_dialog_thread, nullptr, 0, &thread_id));
  return bool(dialog_thread);
}

DialogState progress_dialog_state() {
  if (progress_dialog_handle.load() != nullptr) return DialogState::shown;
  if (!dialog_thread || WaitForSingleObject(dialog_thread.get(), 0) == WAIT_OBJECT_0)
    return DialogState::absent;
  return DialogState::pending;
}

void show_label(int id) {
  if (const HWND control = label(id)) ShowWindow(control, SW_SHOWNA);
}

void enable_label(int id) {
  if (const HWND control = label(id)) EnableWindow(control, TRUE);
}

void mark_label_failed(int id) {
  const HWND control = label(id);
  if (control == nullptr) return;
  char text[failed_text_limit];
  if (LoadStringA(app_instance, IDS_FAILED, text, failed_text_limit) == 0) text[0] = '\0';
  SetWindowTextA(control, text);
  show_label(id);
}

}  // namespace app
