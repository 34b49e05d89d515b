#include "testbed/uidriver/driver.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "testbed/uidriver/picture.h"

namespace testbed {

namespace {

constexpr int box_text_id = 0xFFFF;
// Wine's message box keeps its icon in control 1088, Windows' in control 20.
constexpr int box_icon_ids[] = {1088, 20};
constexpr DWORD poke_wait_ms = 300;
// Bounds every message sent to the other process, so that a hung program cannot hang us.
constexpr UINT send_timeout_ms = 2000;
// How long a box's icon is looked for on the screen before it reads as unknown.
constexpr DWORD icon_wait_ms = 10000;  // the 32-bit build under emulation draws slowly
constexpr DWORD icon_poll_ms = 50;

class Clock {
 public:
  DWORD ms() const { return static_cast<DWORD>(GetTickCount64() - start_); }

 private:
  ULONGLONG start_ = GetTickCount64();
};

std::string window_text(HWND window) {
  // Grows until the text fits, up to a bound far above any text the program shows.
  std::string text;
  for (std::size_t capacity = 512; capacity <= 65536; capacity *= 2) {
    text.assign(capacity, '\0');
    const int copied = GetWindowTextA(window, text.data(), static_cast<int>(capacity));
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    if (text.size() + 1 < capacity) break;
  }
  return text;
}

std::string class_name(HWND window) {
  char name[64];
  const int length = GetClassNameA(window, name, sizeof name);
  return std::string(name, static_cast<std::size_t>(std::max(length, 0)));
}

struct WindowSearch {
  DWORD process_id;
  std::vector<HWND> found;
};

BOOL CALLBACK collect_window(HWND window, LPARAM search_address) {
  auto& search = *reinterpret_cast<WindowSearch*>(search_address);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search.process_id) search.found.push_back(window);
  return TRUE;
}

std::vector<HWND> top_level_windows(DWORD process_id) {
  WindowSearch search{process_id, {}};
  EnumWindows(collect_window, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool is_message_box(HWND window) {
  return class_name(window) == "#32770" && window_text(window) == box_caption;
}

std::vector<std::string> button_texts(HWND box) {
  std::vector<std::string> texts;
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (IsWindowVisible(child) &&
        CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, class_name(child).c_str(), -1, "Button",
                       -1) == CSTR_EQUAL)
      texts.push_back(window_text(child));
  }
  return texts;
}

struct IconCandidate {
  const char* name;
  LPCSTR id;
};

const IconCandidate icon_candidates[] = {{"question", IDI_QUESTION},
                                         {"information", IDI_INFORMATION},
                                         {"exclamation", IDI_EXCLAMATION},
                                         {"error", IDI_ERROR}};

// An icon handle of another process gives no bits under Wine (GetIconInfo refuses it), so a
// box's icon is also recognised by what the screen shows: every opaque pixel of the
// candidate, drawn at the icon control's top left corner, must be there unchanged.
bool shown_as(const Picture& shown, const Picture& icon) {
  if (shown.width < icon.width || shown.height < icon.height) return false;
  std::size_t opaque = 0;
  for (int y = 0; y < icon.height; ++y) {
    for (int x = 0; x < icon.width; ++x) {
      const std::uint32_t pixel = icon.pixels[static_cast<std::size_t>(y) * icon.width + x];
      if ((pixel >> 24) != 0xFF) continue;
      ++opaque;
      const std::uint32_t seen = shown.pixels[static_cast<std::size_t>(y) * shown.width + x];
      if ((seen & 0xFFFFFF) != (pixel & 0xFFFFFF)) return false;
    }
  }
  return opaque != 0;
}

std::string shown_icon_name(HWND icon_control) {
  RECT area;
  if (!GetWindowRect(icon_control, &area)) return "unknown";
  const std::optional<Picture> shown = capture_screen(area);
  if (!shown) return "unknown";
  for (const IconCandidate& candidate : icon_candidates) {
    const std::optional<Picture> icon = icon_picture(LoadIconA(nullptr, candidate.id));
    if (icon && shown_as(*shown, *icon)) return candidate.name;
  }
  return "unknown";
}

// Pictures come from the screen, so the window must have painted first: RDW_UPDATENOW has it
// paint at once, and the message sent after it returns once its thread has caught up.
void bring_up_to_date(HWND window) {
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, send_timeout_ms, &ignored);
}

std::string box_icon(HWND box) {
  for (int id : box_icon_ids) {
    const HWND control = GetDlgItem(box, id);
    if (control == nullptr || class_name(control) != "Static") continue;
    if (!IsWindowVisible(control)) return "none";
    // A box just shown may still be drawing, and a program under emulation be slow to answer:
    // the icon is asked for, then looked for on the screen, until it shows, for a while.
    const ULONGLONG deadline = GetTickCount64() + icon_wait_ms;
    for (;;) {
      DWORD_PTR icon = 0;
      if (SendMessageTimeoutA(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, send_timeout_ms,
                              &icon)) {
        const HICON handle = reinterpret_cast<HICON>(icon);
        if (handle == nullptr) return "none";
        // Under Wine another process's icon handle gives no bits: then only the screen tells.
        if (const std::string held = icon_name(handle); held != "unknown") return held;
        bring_up_to_date(box);
        if (const std::string shown = shown_icon_name(control); shown != "unknown") return shown;
      }
      if (GetTickCount64() >= deadline) return "unknown";
      Sleep(icon_poll_ms);
    }
  }
  return "none";
}

// None when a label is missing: the dialog is being destroyed with its process.
std::optional<DialogSample> sample_dialog(HWND dialog, DWORD at_ms) {
  DialogSample sample{at_ms, {}};
  for (int index = 0; index < label_count; ++index) {
    const HWND label = GetDlgItem(dialog, first_label_id + index);
    if (label == nullptr) return std::nullopt;
    sample.labels[index] = {window_text(label), IsWindowVisible(label) != FALSE,
                            IsWindowEnabled(label) != FALSE};
  }
  return sample;
}

bool same_labels(const DialogSample& left, const DialogSample& right) {
  return std::equal(std::begin(left.labels), std::end(left.labels), std::begin(right.labels));
}

bool save_picture_of(HWND window, const std::string& path) {
  RECT area;
  if (!GetWindowRect(window, &area)) return false;
  const std::optional<Picture> picture = capture_screen(area);
  return picture && write_bmp(*picture, path);
}

class Driver {
 public:
  Driver(DWORD process_id, const DriverOptions& options)
      : process_id_(process_id), options_(options) {}

  // One look at the process's windows; acts on what is new.
  void look() {
    const std::vector<HWND> windows = top_level_windows(process_id_);
    const DWORD now = clock_.ms();
    find_dialog(windows, now);
    // Once the final box is answered the program ends, and its dialog is taken apart control
    // by control: what a look would find then is no state the program showed.
    if (dialog_on_screen() && !report_.final_box.seen) record_sample(now);
    poke();
    answered_.erase(
        std::remove_if(answered_.begin(), answered_.end(), [](HWND box) { return !IsWindow(box); }),
        answered_.end());
    for (HWND window : windows) {
      if (std::find(answered_.begin(), answered_.end(), window) != answered_.end()) continue;
      // A box is complete once shown: its text, icon and buttons are set before that.
      if (IsWindowVisible(window) && is_message_box(window)) answer(window);
    }
  }

  Report& report() { return report_; }
  DWORD now() const { return clock_.ms(); }

 private:
  void find_dialog(const std::vector<HWND>& windows, DWORD now) {
    if (dialog_ != nullptr) return;
    for (HWND window : windows) {
      if (IsWindowVisible(window) && window_text(window) == dialog_title) {
        dialog_ = window;
        report_.dialog_seen = true;
        report_.dialog_first_ms = now;
        return;
      }
    }
  }

  void record_sample(DWORD now) {
    std::optional<DialogSample> sample = sample_dialog(dialog_, now);
    if (!sample) return;
    if (report_.samples.empty() || !same_labels(report_.samples.back(), *sample))
      report_.samples.push_back(std::move(*sample));
  }

  bool dialog_on_screen() const {
    return dialog_ != nullptr && IsWindow(dialog_) && IsWindowVisible(dialog_);
  }

  void poke() {
    if (!options_.poke_dialog || report_.poke_done || dialog_ == nullptr) return;
    if (!poked_) {
      PostMessageA(dialog_, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
      PostMessageA(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0);
      PostMessageA(dialog_, WM_CLOSE, 0, 0);
      poked_ = true;
      poked_at_ = clock_.ms();
    } else if (clock_.ms() - poked_at_ >= poke_wait_ms) {
      report_.poke_done = true;
      report_.dialog_survived_poke = dialog_on_screen();
    }
  }

  MessageBoxSeen read_box(HWND box) const {
    MessageBoxSeen seen;
    seen.seen = true;
    seen.at_ms = clock_.ms();
    seen.dialog_present = dialog_on_screen();
    if (const HWND text = GetDlgItem(box, box_text_id)) seen.text = window_text(text);
    seen.icon = box_icon(box);
    seen.buttons = button_texts(box);
    return seen;
  }

  void answer(HWND box) {
    answered_.push_back(box);
    if (!report_.confirmation.seen && !report_.dialog_seen) {
      report_.confirmation = read_box(box);
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(options_.answer_yes ? IDYES : IDNO, 0), 0);
      return;
    }
    if (report_.final_box.seen) return;  // nothing more is expected; left for the time-out
    if (report_.middle_boxes.size() < options_.middle_answers.size()) {
      const int answer = options_.middle_answers[report_.middle_boxes.size()];
      report_.middle_boxes.push_back(read_box(box));
      if (options_.before_middle_answer) options_.before_middle_answer();
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, 0), 0);
      return;
    }
    report_.final_box = read_box(box);
    if (!options_.screenshot_dir.empty()) take_pictures(box);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
  }

  void take_pictures(HWND box) {
    CreateDirectoryA(options_.screenshot_dir.c_str(), nullptr);
    const std::string directory = options_.screenshot_dir + "\\";
    if (dialog_on_screen()) {
      record_sample(clock_.ms());
      bring_up_to_date(dialog_);
      save_picture_of(dialog_, directory + "dialog.bmp");
    }
    bring_up_to_date(box);
    save_picture_of(box, directory + "final.bmp");
  }

  const DWORD process_id_;
  const DriverOptions options_;
  const Clock clock_;
  Report report_;
  HWND dialog_ = nullptr;
  std::vector<HWND> answered_;
  bool poked_ = false;
  DWORD poked_at_ = 0;
};

void put_text(std::string& out, const std::string& text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

const char* yes_no(bool value) { return value ? "yes" : "no"; }

void put_box(std::string& out, const char* name, const MessageBoxSeen& box) {
  out += name;
  out += " seen=";
  out += yes_no(box.seen);
  if (box.seen) {
    out += " at_ms=" + std::to_string(box.at_ms) + " icon=" + box.icon + " buttons=";
    for (std::size_t i = 0; i < box.buttons.size(); ++i) {
      if (i != 0) out += ',';
      put_text(out, box.buttons[i]);
    }
    out += " dialog_present=";
    out += yes_no(box.dialog_present);
    out += '\n';
    out += name;
    out += " text=";
    put_text(out, box.text);
  }
  out += '\n';
}

}  // namespace

std::string icon_name(HICON icon) {
  if (icon == nullptr) return "none";
  const std::optional<Picture> picture = icon_picture(icon);
  if (!picture) return "unknown";
  for (const IconCandidate& candidate : icon_candidates) {
    const std::optional<Picture> known = icon_picture(LoadIconA(nullptr, candidate.id));
    if (known && known->width == picture->width && known->height == picture->height &&
        known->pixels == picture->pixels)
      return candidate.name;
  }
  return "unknown";
}

Report drive(HANDLE process, DWORD process_id, const DriverOptions& options) {
  Driver driver(process_id, options);
  Report& report = driver.report();
  for (;;) {
    if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT) break;
    if (driver.now() >= options.timeout_ms) {
      report.timed_out = true;
      break;
    }
    driver.look();
    WaitForSingleObject(process, options.sample_every_ms);
  }
  GetExitCodeProcess(process, &report.exit_code);
  report.total_ms = driver.now();
  return std::move(report);
}

std::string report_text(const Report& report) {
  std::string out;
  put_box(out, "confirmation", report.confirmation);
  out += "dialog seen=";
  out += yes_no(report.dialog_seen);
  if (report.dialog_seen) out += " first_ms=" + std::to_string(report.dialog_first_ms);
  out += '\n';
  for (const DialogSample& sample : report.samples) {
    out += "sample at_ms=" + std::to_string(sample.at_ms);
    for (int index = 0; index < label_count; ++index) {
      const LabelState& label = sample.labels[index];
      out += ' ' + std::to_string(first_label_id + index) + '=';
      out += label.visible ? 'V' : 'H';
      out += label.enabled ? 'E' : 'D';
      out += ':';
      put_text(out, label.text);
    }
    out += '\n';
  }
  for (const MessageBoxSeen& box : report.middle_boxes) put_box(out, "middle", box);
  put_box(out, "final", report.final_box);
  out += "poke done=";
  out += yes_no(report.poke_done);
  if (report.poke_done) {
    out += " dialog_survived=";
    out += yes_no(report.dialog_survived_poke);
  }
  out += "\nend exit_code=" + std::to_string(report.exit_code) +
         " timed_out=" + yes_no(report.timed_out) + " total_ms=" + std::to_string(report.total_ms) +
         '\n';
  return out;
}

}  // namespace testbed
