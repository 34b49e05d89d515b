#include "sequence/log_file.h"

#include <cinttypes>
#include <cstdio>

#include "res/version.h"

namespace app {

namespace {

// By the enumerations' order.
constexpr const char* mode_names[] = {"interactive", "passive", "quiet"};
constexpr const char* outcome_names[] = {"deleted", "not_found", "failed", "refused", "at_restart"};

std::string hex(unsigned long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", value);
  return text;
}

// A control byte would break the line for its readers (a CR or LF ends it early and lets the
// rest pass for a line of its own), so none is written as it is.
bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

void append_escaped(std::string& text, unsigned char byte) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
  text += escaped;
}

}  // namespace

std::string log_quoted(const char* text) {
  std::string quoted = "\"";
  for (const char* at = text; *at != '\0'; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if (is_control(byte)) {
      append_escaped(quoted, byte);
      continue;
    }
    // Bare, a quote would end the field early (a name could then forge fields of its own), and
    // a backslash would read as the start of an escape.
    if (*at == '"' || *at == '\\') quoted += '\\';
    quoted += *at;
  }
  return quoted + "\"";
}

bool LogFile::open(const char* path) {
  file_.reset(CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return is_open();
}

void LogFile::line(const std::string& text) {
  if (!file_) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  std::string whole = stamp;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (is_control(byte))
      append_escaped(whole, byte);
    else
      whole += c;
  }
  whole += "\r\n";
  DWORD written = 0;
  // One write a line, so that lines of runs side by side do not interleave.
  WriteFile(file_.get(), whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr);
}

void LogFile::started(const char* command_line, Mode mode) {
  line(std::string("start version=") + program_version_text +
       " mode=" + mode_names[static_cast<int>(mode)] + " command=" + log_quoted(command_line));
}

void LogFile::install_dir(const char* source, const char* directory) {
  line(std::string("install_dir source=") + source + " path=" + log_quoted(directory));
}

void LogFile::usage(const char* text) {
  std::string piece;
  for (const char* at = text;; ++at) {
    if (*at == '\n' || *at == '\0') {
      if (!piece.empty()) line("usage " + piece);
      piece.clear();
      if (*at == '\0') break;
    } else {
      piece += *at == '\t' ? ' ' : *at;
    }
  }
}

void LogFile::ended(int exit_code) { line("exit code " + std::to_string(exit_code)); }

void LogFile::step_started(int step) { line("step " + std::to_string(step) + " start"); }

void LogFile::step_ended(int step, bool succeeded) {
  std::string text = "step " + std::to_string(step) + (succeeded ? " done" : " failed");
  if (step == 1)
    text +=
        " turned_away=" + std::to_string(turned_away_) + " waited_ms=" + std::to_string(paused_ms_);
  line(text);
}

void LogFile::restore_point(const char* event, std::int64_t sequence_number) {
  char number[32];
  std::snprintf(number, sizeof number, "%" PRId64, sequence_number);
  line(std::string("restore_point ") + event + " sequence=" + number);
}

void LogFile::manual_form_step() { line("manual_form_step needed"); }

void LogFile::parts_placed(const char* placement) { line(std::string("parts ") + placement); }

void LogFile::item_not_converted(const char* folder, long code) {
  line("item_not_converted folder=" + log_quoted(folder) +
       " code=" + hex(static_cast<unsigned long>(code)));
}

void LogFile::form_reset(const char* folder, const char* by) {
  line("form_reset folder=" + log_quoted(folder) + " by=" + by);
}

void LogFile::form_left(const char* folder) { line("form_left folder=" + log_quoted(folder)); }

void LogFile::folder_read(const char* folder, const char* way) {
  line("task_folder folder=" + log_quoted(folder) + " read=" + way);
}

void LogFile::converted(const outlook::ConversionTally& tally) {
  line("outlook stores=" + std::to_string(tally.stores) + " folders=" +
       std::to_string(tally.folders) + " task_folders=" + std::to_string(tally.task_folders) +
       " items_converted=" + std::to_string(tally.items_converted) +
       " items_not_converted=" + std::to_string(tally.items_not_converted) + " forms_reset=" +
       std::to_string(tally.forms_reset) + " forms_left=" + std::to_string(tally.forms_left) +
       " forms_removed=" + std::to_string(tally.forms_removed) +
       " published_forms_left=" + std::to_string(tally.published_forms_left));
}

void LogFile::outlook_failed(const char* stage, long code) {
  std::string text = std::string("outlook_failed stage=") + stage +
                     " code=" + hex(static_cast<unsigned long>(code));
  if (code == REGDB_E_CLASSNOTREG) {
    text += " reason=not_registered";
    outlook_not_registered_ = outlook_not_registered_ || std::string(stage) == "application";
  }
  line(text);
}

void LogFile::walk_stopped(const char* folder, long code) {
  line("walk_stopped folder=" + log_quoted(folder) +
       " code=" + hex(static_cast<unsigned long>(code)));
}

void LogFile::mapi_unavailable(const char* stage, long code) {
  line(std::string("mapi_unavailable stage=") + stage +
       " code=" + hex(static_cast<unsigned long>(code)));
}

void LogFile::form_removal(const char* library, const char* folder, const char* way,
                           const char* result, long code) {
  std::string text = std::string("form library=") + library;
  if (folder != nullptr && folder[0] != '\0') text += " folder=" + log_quoted(folder);
  line(text + " class=\"IPM.Task.Merivane\" way=" + way + " result=" + result +
       " hr=" + hex(static_cast<unsigned long>(code)));
}

void LogFile::form_in_organization() { line("form_left library=organization"); }

void LogFile::form_not_writable(const char* folder) {
  line("form_left folder=" + log_quoted(folder) + " reason=no_way_to_write");
}

void LogFile::in_use(const char* path, const char* holders) {
  std::string text = "in_use path=" + log_quoted(path);
  if (holders[0] != '\0') text += std::string(" held_by=") + log_quoted(holders);
  line(text);
}

void LogFile::folder_unverified(const char* folder, long left) {
  line("folder_unverified folder=" + log_quoted(folder) +
       " addin_items_left=" + (left < 0 ? std::string("unknown") : std::to_string(left)));
}

void LogFile::outlook_open_elsewhere(bool asked) {
  line(std::string("outlook_open_elsewhere: Outlook is open at another privilege level and must "
                   "be closed for its tasks to be converted") +
       (asked ? "; the user chose Cancel" : ""));
}

void LogFile::call_unanswered(const char* call, unsigned long waited_ms) {
  line(std::string("outlook_unanswered call=") + log_quoted(call) +
       " waited_ms=" + std::to_string(waited_ms) + "; the Outlook step was given up");
}

void LogFile::outlook_busy(const char* call, unsigned long waited_ms) {
  line(std::string("outlook_busy call=") + log_quoted(call) +
       " waited_ms=" + std::to_string(waited_ms) +
       "; Outlook is taking no calls: the Outlook step was given up");
}

void LogFile::calls_turned_away(long answers, unsigned long paused_ms) {
  turned_away_ = answers;
  paused_ms_ = paused_ms;
}

void LogFile::removed(const removal::Removal& removal) {
  std::string text = std::string(removal.kind) + " path=" + log_quoted(removal.path);
  if (removal.moved_to != nullptr) text += " moved_to=" + log_quoted(removal.moved_to);
  if (removal.value != nullptr) text += " name=" + log_quoted(removal.value);
  if (removal.view != nullptr) text += std::string(" view=") + removal.view;
  text += std::string(" outcome=") + outcome_names[static_cast<int>(removal.outcome)] +
          " error=" + std::to_string(removal.error);
  line(text);
}

}  // namespace app
