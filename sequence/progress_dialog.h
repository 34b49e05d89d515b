#pragma once
// The progress dialog: a modal dialog on a thread of its own, changed by the uninstall
// sequence on the main thread through its controls.

#include <windows.h>

#include <atomic>

#include "res/resource.h"

namespace app {

// Written once by the dialog thread when the dialog is initialised, read whole by the main
// thread; never cleared.
extern std::atomic<HWND> progress_dialog_handle;

DWORD WINAPI progress_dialog_thread(LPVOID parameter);
INT_PTR CALLBACK progress_dialog_proc(HWND dialog, UINT message, WPARAM w_param, LPARAM l_param);

enum class DialogState {
  pending,  // the thread runs, the dialog is not up yet
  shown,    // the handle is published
  absent,   // the thread could not start, or ended without a dialog
};

// Starts the dialog thread (stack of 50000 bytes). False when no thread could be started.
bool start_progress_dialog();
DialogState progress_dialog_state();

// Each acts on the dialog's control; with no dialog they do nothing.
void show_label(int id);
void enable_label(int id);
void mark_label_failed(int id);

}  // namespace app
