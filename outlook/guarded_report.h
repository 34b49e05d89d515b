#pragma once
// The Outlook step's report as its thread sees it: forwarded to the run's report only while the
// step has not been given up.

#include <mutex>

#include "outlook/call_watch.h"
#include "outlook/conversion.h"

namespace outlook {

// The step's report, forwarded until the step is given up: a thread that comes back after that
// tells nobody anything.
class GuardedReport final : public ConversionReport {
 public:
  GuardedReport(ConversionReport* report, const CallWatch& watch)
      : report_(report), watch_(watch) {}

  // Waits for a report under way; none reaches the run's report after this.
  void close() {
    const std::lock_guard lock(mutex_);
    report_ = nullptr;
  }

  void item_not_converted(const char* folder, long code) override {
    forward(&ConversionReport::item_not_converted, folder, code);
  }
  void form_reset(const char* folder, const char* by) override {
    forward(&ConversionReport::form_reset, folder, by);
  }
  void form_left(const char* folder) override { forward(&ConversionReport::form_left, folder); }
  void folder_read(const char* folder, const char* way) override {
    forward(&ConversionReport::folder_read, folder, way);
  }
  void converted(const ConversionTally& tally) override {
    forward(&ConversionReport::converted, tally);
  }
  void outlook_failed(const char* stage, long code) override {
    forward(&ConversionReport::outlook_failed, stage, code);
  }
  void walk_stopped(const char* folder, long code) override {
    forward(&ConversionReport::walk_stopped, folder, code);
  }
  void mapi_unavailable(const char* stage, long code) override {
    forward(&ConversionReport::mapi_unavailable, stage, code);
  }
  void form_not_writable(const char* folder) override {
    forward(&ConversionReport::form_not_writable, folder);
  }
  void form_removal(const char* library, const char* folder, const char* way, const char* result,
                    long code) override {
    forward(&ConversionReport::form_removal, library, folder, way, result, code);
  }
  void form_in_organization() override { forward(&ConversionReport::form_in_organization); }
  void folder_unverified(const char* folder, long left) override {
    forward(&ConversionReport::folder_unverified, folder, left);
  }
  void outlook_open_elsewhere(bool asked) override {
    forward(&ConversionReport::outlook_open_elsewhere, asked);
  }
  void call_unanswered(const char* call, unsigned long waited_ms) override {
    forward(&ConversionReport::call_unanswered, call, waited_ms);
  }
  void outlook_busy(const char* call, unsigned long waited_ms) override {
    forward(&ConversionReport::outlook_busy, call, waited_ms);
  }
  void calls_turned_away(long answers, unsigned long paused_ms) override {
    forward(&ConversionReport::calls_turned_away, answers, paused_ms);
  }

 private:
  template <typename Method, typename... Arguments>
  void forward(Method method, const Arguments&... arguments) {
    const std::lock_guard lock(mutex_);
    if (report_ != nullptr && !watch_.given_up()) (report_->*method)(arguments...);
  }

  std::mutex mutex_;
  ConversionReport* report_;
  const CallWatch& watch_;
};

}  // namespace outlook
