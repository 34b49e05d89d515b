#pragma once
// The log of an unattended (or any) run: one line per event, each behind a local timestamp,
// appended to a plain text file. A write that fails is dropped; the run goes on.

#include <windows.h>

#include <string>

#include "base/unique_any.h"
#include "sequence/uninstall.h"

namespace app {

class LogFile final : public RunLog {
 public:
  // Opens the file for appending, making it when missing; false when it cannot be.
  bool open(const char* path);
  bool is_open() const { return bool(file_); }

  // One line: the timestamp, a blank and text, whose control bytes (line ends among them) are
  // written as \xHH: whatever a caller passes stays on this one line.
  void line(const std::string& text);

  void started(const char* command_line, Mode mode);
  void install_dir(const char* source, const char* directory);
  // Each line of the text as a line of its own.
  void usage(const char* text);
  void ended(int exit_code);
  // Step 1 found no Outlook registered for this user: no task of the user's to convert.
  bool outlook_not_registered() const { return outlook_not_registered_; }

  void step_started(int step) override;
  void step_ended(int step, bool succeeded) override;
  void restore_point(const char* event, std::int64_t sequence_number) override;
  void manual_form_step() override;
  void parts_placed(const char* placement) override;
  void fleet_line(const std::string& text) override { line(text); }
  void item_not_converted(const char* folder, long code) override;
  void form_reset(const char* folder, const char* by) override;
  void form_left(const char* folder) override;
  void folder_read(const char* folder, const char* way) override;
  void converted(const outlook::ConversionTally& tally) override;
  void outlook_failed(const char* stage, long code) override;
  void walk_stopped(const char* folder, long code) override;
  void mapi_unavailable(const char* stage, long code) override;
  void form_not_writable(const char* folder) override;
  void form_removal(const char* library, const char* folder, const char* way, const char* result,
                    long code) override;
  void form_in_organization() override;
  void folder_unverified(const char* folder, long left) override;
  void outlook_open_elsewhere(bool asked) override;
  void call_unanswered(const char* call, unsigned long waited_ms) override;
  void outlook_busy(const char* call, unsigned long waited_ms) override;
  void calls_turned_away(long answers, unsigned long paused_ms) override;
  void removed(const removal::Removal& removal) override;
  void in_use(const char* path, const char* holders) override;

 private:
  base::unique_file file_;
  // Told by the Outlook step before its result, and written on that result's line.
  long turned_away_ = 0;
  unsigned long paused_ms_ = 0;
  bool outlook_not_registered_ = false;
};

// A text as the log quotes it: in double quotes, whole; a quote as \", a backslash as \\ and a
// control byte as \xHH, so that a reader takes the field back exactly as it was.
std::string log_quoted(const char* text);

}  // namespace app
