#pragma once
// Drives the uninstaller's windows from another process, as a user would: answers its
// message boxes, records every change of its progress dialog and, when asked, pictures them.
// Used by the end-to-end tests and by uidriver.exe for the demo.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testbed {

inline constexpr char box_caption[] = "Merivane";
inline constexpr char dialog_title[] = "Merivane Uninstall Progress";
inline constexpr int first_label_id = 1000;
inline constexpr int label_count = 8;

struct LabelState {
  std::string text;
  bool visible = false;
  bool enabled = false;
  bool operator==(const LabelState&) const = default;
};

struct DialogSample {
  DWORD at_ms;
  LabelState labels[label_count];  // in id order 1000..1007
};

struct MessageBoxSeen {
  bool seen = false;
  std::string text;
  // "question", "information", "exclamation", "error", "none" or "unknown"
  std::string icon;
  std::vector<std::string> buttons;  // texts of the visible Button children, in z-order
  DWORD at_ms = 0;
  bool dialog_present = false;  // the progress dialog was on screen while this box was
};

struct DriverOptions {
  bool answer_yes = true;  // the confirmation is answered IDYES, else IDNO
  DWORD sample_every_ms = 20;
  DWORD timeout_ms = 60000;  // then drive() returns with timed_out, leaving the process alive
  // Once the dialog is on screen: post IDCANCEL (Escape), WM_SYSCOMMAND SC_CLOSE and
  // WM_CLOSE to it, and look 300 ms later whether it is still there.
  bool poke_dialog = false;
  // When set: dialog.bmp (the dialog in its last state, just before the final box is
  // answered) and final.bmp (the final box), each cropped to the window's rectangle.
  std::string screenshot_dir;
  // Boxes after the confirmation that are not the final message, such as a request to close
  // another program: the k-th is answered with middle_answers[k] (IDRETRY, IDCANCEL, ...),
  // after before_middle_answer, when set, has run. The box after them is the final one.
  std::vector<int> middle_answers;
  std::function<void()> before_middle_answer;
  // For those that start the program before driving it (run_uninstaller, uidriver.exe --limited),
  // not read by drive(): start it with the limited token, as the shell starts it for an
  // administrator whose rights are not in use; without one it is not started at all.
  bool limited_token = false;
};

struct Report {
  MessageBoxSeen confirmation;
  std::vector<MessageBoxSeen> middle_boxes;
  MessageBoxSeen final_box;
  bool dialog_seen = false;
  DWORD dialog_first_ms = 0;
  std::vector<DialogSample> samples;  // the first, then each that differs from the one before
  bool poke_done = false;
  bool dialog_survived_poke = false;
  bool timed_out = false;
  DWORD exit_code = STILL_ACTIVE;
  DWORD total_ms = 0;
};

// Runs until the process has ended or the time-out has passed; times are milliseconds since
// the call began. Windows are those of process_id.
Report drive(HANDLE process, DWORD process_id, const DriverOptions& options);

// The report as lines of text; the format is described in testbed/README.md.
std::string report_text(const Report& report);

// Which of the system's message box icons this is, by its pixels: "question",
// "information", "exclamation", "error", "none" for no icon, else "unknown".
std::string icon_name(HICON icon);

}  // namespace testbed
