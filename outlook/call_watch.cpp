#include "outlook/call_watch.h"

namespace outlook {

namespace {

thread_local CallWatch* this_threads_watch = nullptr;

DWORD tick_count() { return GetTickCount(); }
void pause(DWORD milliseconds) { Sleep(milliseconds); }

}  // namespace

const CallClock& system_clock() {
  static constexpr CallClock clock{tick_count, pause};
  return clock;
}

CallWatch::CallWatch(const CallLimits& limits, const CallClock& clock)
    : limits_(limits), clock_(clock), mark_(clock.now()) {}

DWORD CallWatch::time_left() const {
  if (suspended_.load(std::memory_order_acquire)) return limits_.unanswered_ms;
  const DWORD since = since_mark();
  return since >= limits_.unanswered_ms ? 0 : limits_.unanswered_ms - since;
}

CallWatch* installed_call_watch() { return this_threads_watch; }

WatchedCalls::WatchedCalls(CallWatch& watch) : previous_(this_threads_watch) {
  this_threads_watch = &watch;
}

WatchedCalls::~WatchedCalls() { this_threads_watch = previous_; }

}  // namespace outlook
