#pragma once
// How a call into Outlook meets an Outlook that is starting, busy or stuck. Outlook turns calls
// away while it loads its profile and add-ins or shows a modal dialog; such a call did nothing,
// so it is asked again after a pause, for a while. Each attempt also marks when it began and
// ended, so that whoever watches the step from another thread can tell a call that never comes
// back.

#include <windows.h>
#include <oaidl.h>

#include <algorithm>
#include <atomic>

namespace outlook {

// The two limits of the Outlook step, here and nowhere else.
struct CallLimits {
  // A call that is turned away is asked again until this long after its first rejection.
  DWORD retry_ms = 120000;
  // A call that has not come back for this long (or the step stuck this long between two
  // calls) is given up.
  DWORD unanswered_ms = 120000;
};

// The pauses between two asks of one call grow from the first to the longest.
inline constexpr DWORD first_pause_ms = 50;
inline constexpr DWORD longest_pause_ms = 1000;

struct CallClock {
  DWORD (*now)();  // milliseconds, wrapping
  void (*sleep)(DWORD milliseconds);
};
const CallClock& system_clock();

// What was asked of Outlook, for the log when it does not answer.
enum class CallSort : unsigned char { none, invoke, bind, create, run };
struct CallName {
  CallSort sort = CallSort::none;
  DISPID dispid = 0;
  WORD kind = 0;
};

// Outlook's answers that mean "not now": the call did nothing, and may be asked again.
constexpr bool is_turned_away(HRESULT answer) {
  return answer == RPC_E_CALL_REJECTED || answer == RPC_E_SERVERCALL_RETRYLATER;
}

// What the calls of one step share: its limits and clock, the counts of answers turned away and
// of time paused, and the marks its watcher reads from another thread.
class CallWatch {
 public:
  explicit CallWatch(const CallLimits& limits = {}, const CallClock& clock = system_clock());
  CallWatch(const CallWatch&) = delete;
  CallWatch& operator=(const CallWatch&) = delete;

  const CallLimits& limits() const { return limits_; }
  const CallClock& clock() const { return clock_; }

  // Around each attempt of a call. False, and nothing marked, once the step was given up: a
  // thread that comes back after that asks Outlook nothing more.
  bool enter(const CallName& name) {
    if (abandoned_.load(std::memory_order_relaxed)) return false;
    sort_.store(name.sort, std::memory_order_relaxed);
    dispid_.store(name.dispid, std::memory_order_relaxed);
    kind_.store(name.kind, std::memory_order_relaxed);
    mark_.store(clock_.now(), std::memory_order_release);
    return true;
  }
  void leave() {
    sort_.store(CallSort::none, std::memory_order_relaxed);
    mark_.store(clock_.now(), std::memory_order_release);
  }

  void count_turned_away() { turned_away_.fetch_add(1, std::memory_order_relaxed); }
  void count_pause(DWORD milliseconds) {
    paused_ms_.fetch_add(milliseconds, std::memory_order_relaxed);
  }
  long turned_away() const { return turned_away_.load(std::memory_order_relaxed); }
  DWORD paused_ms() const { return paused_ms_.load(std::memory_order_relaxed); }

  // While the user is asked something, no limit runs.
  void suspend() { suspended_.store(true, std::memory_order_release); }
  void resume() {
    mark_.store(clock_.now(), std::memory_order_release);
    suspended_.store(false, std::memory_order_release);
  }

  // For the watcher: how long it may sleep before the step can have been stuck for the limit;
  // 0 once it has.
  DWORD time_left() const;
  // Since the last mark: the call outstanding, or the last one that came back.
  DWORD since_mark() const {
    // The mark first: read after the clock, a newer one would make the difference wrap.
    const DWORD mark = mark_.load(std::memory_order_acquire);
    return clock_.now() - mark;
  }
  // The call outstanding; sort none between two calls.
  CallName outstanding() const {
    return {sort_.load(std::memory_order_relaxed), dispid_.load(std::memory_order_relaxed),
            kind_.load(std::memory_order_relaxed)};
  }
  void abandon() { abandoned_.store(true, std::memory_order_relaxed); }

 private:
  const CallLimits limits_;
  const CallClock clock_;
  std::atomic<DWORD> mark_;
  std::atomic<CallSort> sort_{CallSort::none};
  std::atomic<DISPID> dispid_{0};
  std::atomic<WORD> kind_{0};
  std::atomic<bool> suspended_{false};
  std::atomic<bool> abandoned_{false};
  std::atomic<long> turned_away_{0};
  std::atomic<DWORD> paused_ms_{0};
};

// The watch of the calls made on this thread, or none.
CallWatch* installed_call_watch();

// Makes watch the one of this thread's calls for the scope's duration.
class WatchedCalls {
 public:
  explicit WatchedCalls(CallWatch& watch);
  ~WatchedCalls();
  WatchedCalls(const WatchedCalls&) = delete;
  WatchedCalls& operator=(const WatchedCalls&) = delete;

 private:
  CallWatch* const previous_;
};

// Asks again, after growing pauses, while retried(answer) holds and less than the retry limit
// has passed since the first rejection; then the last answer stands.
template <typename Attempt, typename Retried>
[[gnu::noinline, gnu::cold]] HRESULT ask_again(CallWatch& watch, const CallName& name,
                                               HRESULT answer, Attempt& attempt, Retried& retried) {
  const CallClock& clock = watch.clock();
  const DWORD first = clock.now();
  DWORD pause = first_pause_ms;
  while (retried(answer)) {
    watch.count_turned_away();
    const DWORD spent = clock.now() - first;
    if (spent >= watch.limits().retry_ms) break;
    const DWORD wait = std::min(pause, watch.limits().retry_ms - spent);
    clock.sleep(wait);
    watch.count_pause(wait);
    pause = std::min(pause * 2, longest_pause_ms);
    if (!watch.enter(name)) return E_ABORT;
    answer = attempt();
    watch.leave();
  }
  return answer;
}

// One call into Outlook through this thread's watch (or, without one, with the real limits and
// counts of no one's): E_ABORT once the step was given up, else the answer Outlook gave.
template <typename Attempt, typename Retried>
HRESULT call_outlook(const CallName& name, Attempt&& attempt, Retried&& retried) {
  CallWatch* const watch = installed_call_watch();
  if (watch != nullptr && !watch->enter(name)) return E_ABORT;
  const HRESULT answer = attempt();
  if (watch != nullptr) watch->leave();
  if (!retried(answer)) [[likely]]
    return answer;
  if (watch != nullptr) return ask_again(*watch, name, answer, attempt, retried);
  CallWatch unwatched;
  return ask_again(unwatched, name, answer, attempt, retried);
}

}  // namespace outlook
