// The progress dialog as a real window under Wine, on its own thread. The handle, once
// published, is never cleared: each case runs in a child of its own.

#include "sequence/progress_dialog.h"

#include <gtest/gtest.h>

#include <string>

#include "sequence/app_instance.h"
#include "tests/support/child_process.h"

namespace {

using app::DialogState;

DialogState wait_for_dialog() {
  for (int tries = 0; tries < 250 && app::progress_dialog_state() == DialogState::pending; ++tries)
    Sleep(20);
  return app::progress_dialog_state();
}

std::string text_of(HWND window) {
  char text[128] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

TEST(ProgressDialogChild, ADialogThatCannotBeMadeEndsItsThreadWithoutAHandle) {
  CHILD_ONLY();
  EXPECT_EQ(app::progress_dialog_state(), DialogState::absent) << "no thread started yet";
  app::app_instance = GetModuleHandleA("kernel32.dll");  // holds no dialog 129
  ASSERT_TRUE(app::start_progress_dialog());
  EXPECT_EQ(wait_for_dialog(), DialogState::absent);
  EXPECT_EQ(app::progress_dialog_handle.load(), nullptr);
  app::show_label(1004);  // nothing to act on, and nothing happens
  app::mark_label_failed(1005);
}

TEST(ProgressDialogChild, OpensAtTheTopLeftWithItsInitialStatesAndChangesAsTold) {
  CHILD_ONLY();
  app::app_instance = GetModuleHandleA(nullptr);
  ASSERT_TRUE(app::start_progress_dialog());
  ASSERT_EQ(wait_for_dialog(), DialogState::shown);
  const HWND dialog = app::progress_dialog_handle.load();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(text_of(dialog), "Merivane Uninstall Progress");
  EXPECT_TRUE(IsWindowVisible(dialog));
  RECT frame{};
  GetWindowRect(dialog, &frame);
  EXPECT_EQ(frame.left, 0);
  EXPECT_EQ(frame.top, 0);

  for (int id = 1000; id <= 1003; ++id) {
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, id))) << id;
    EXPECT_EQ(IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE, id == 1000) << id;
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, id + 4))) << id + 4;
  }

  app::enable_label(1001);
  app::show_label(1004);
  app::mark_label_failed(1005);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, 1001)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 1002)));
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, 1004)));
  EXPECT_EQ(text_of(GetDlgItem(dialog, 1004)), "Done");
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, 1005)));
  EXPECT_EQ(text_of(GetDlgItem(dialog, 1005)), "Failed");
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, 1006)));

  // Escape, the close box and a plain close request all reach a procedure that ignores them.
  PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  PostMessageA(dialog, WM_CLOSE, 0, 0);
  Sleep(300);
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_TRUE(IsWindowVisible(dialog));
}

TEST(ProgressDialogWindow, CannotBeMadeWithoutItsTemplate) {
  EXPECT_EQ(test_support::run_child(
                "ProgressDialogChild.ADialogThatCannotBeMadeEndsItsThreadWithoutAHandle"),
            0u);
}

TEST(ProgressDialogWindow, OpensWithItsInitialStatesAndChangesAsTold) {
  EXPECT_EQ(test_support::run_child(
                "ProgressDialogChild.OpensAtTheTopLeftWithItsInitialStatesAndChangesAsTold"),
            0u);
}

}  // namespace
