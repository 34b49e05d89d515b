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
    : limits_(limits), clock_(clock), mark_(clock.now()) {}

DWORD CallWatch::time_left() const {
  if (suspended_.load(std::memory_order_acquire)) return limits_.unanswered_ms;
  const DWORD since = since_mark();
  return since >= limits_.unanswered_ms ? 0 : limits_.unanswered_ms - since;
}

CallWatch* installed_call_watch() { return static_cast<CallWatch*>(TlsGetValue(watch_slot.get())); }

WatchedCalls::WatchedCalls(CallWatch& watch) : previous_(installed_call_watch()) {
  TlsSetValue(watch_slot.get(), &watch);
}

WatchedCalls::~WatchedCalls() { TlsSetValue(watch_slot.get(), previous_); }

}  // namespace outlook
