#include "outlook/call_watch.h"

#include "base/unique_any.h"

namespace outlook {

namespace {

// A slot of the platform's own rather than thread_local, which mingw-w64 emulates at several
// times the cost of this read on every call into Outlook.
struct TlsSlotTraits {
  using type = DWORD;
  static type empty() { return TLS_OUT_OF_INDEXES; }
  static void close(type slot) { TlsFree(slot); }
};
const base::unique_any<TlsSlotTraits> watch_slot(TlsAlloc());

DWORD tick_count() { return GetTickCount(); }
void pause(DWORD milliseconds) { Sleep(milliseconds); }

}  // namespace

const CallClock& system_clock() {
  static constexpr CallClock clock{tick_count, pause};
  return clock;
}

CallWatch::CallWatch(const CallLimits& limits, const CallClock& clock)
    : limits_(limits),
      clock_(clock),
      mark_(clock.now()),
      given_up_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

bool CallWatch::suspend() {
  State expected = State::running;
  return state_.compare_exchange_strong(expected, State::asking, std::memory_order_acq_rel);
}

void CallWatch::resume() {
  mark_.store(clock_.now(), std::memory_order_release);
  State expected = State::asking;
  state_.compare_exchange_strong(expected, State::running, std::memory_order_acq_rel);
}

bool CallWatch::give_up(GiveUp why, const CallName& call, DWORD waited_ms) {
  const std::lock_guard lock(giving_up_);
  State expected = State::running;
  if (!state_.compare_exchange_strong(expected, State::given_up, std::memory_order_acq_rel))
    return false;
  given_up_as_ = {why, call, waited_ms};
  if (given_up_event_) SetEvent(given_up_event_.get());
  return true;
}

GivenUp CallWatch::given_up_as() const {
  const std::lock_guard lock(giving_up_);
  return given_up_as_;
}

DWORD CallWatch::time_left() const {
  if (state_.load(std::memory_order_acquire) != State::running) return limits_.unanswered_ms;
  const DWORD since = since_mark();
  return since >= limits_.unanswered_ms ? 0 : limits_.unanswered_ms - since;
}

CallWatch* installed_call_watch() { return static_cast<CallWatch*>(TlsGetValue(watch_slot.get())); }

WatchedCalls::WatchedCalls(CallWatch& watch) : previous_(installed_call_watch()) {
  TlsSetValue(watch_slot.get(), &watch);
}

WatchedCalls::~WatchedCalls() { TlsSetValue(watch_slot.get(), previous_); }

}  // namespace outlook
