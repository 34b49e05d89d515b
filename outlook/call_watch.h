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
#include <mutex>

#include "base/unique_any.h"

namespace outlook {

// The two limits of the Outlook step, here and nowhere else.
struct CallLimits {
  // A call that is turned away is asked again until this long after its first rejection.
  DWORD retry_ms = 120000;
  // A call that has not come back for this long (or the step stuck between two calls this long
  // after the last one began) is given up.
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

// Why a step was given up: a call that has not come back within its limit, or one that Outlook
// still turned away when its retry limit had passed (a dialog up, an add-in hung).
enum class GiveUp : unsigned char { unanswered, busy };
struct GivenUp {
  GiveUp why = GiveUp::unanswered;
  CallName call;
  DWORD waited_ms = 0;
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
    if (state_.load(std::memory_order_acquire) == State::given_up) return false;
    sort_.store(name.sort, std::memory_order_relaxed);
    dispid_.store(name.dispid, std::memory_order_relaxed);
    kind_.store(name.kind, std::memory_order_relaxed);
    mark_.store(clock_.now(), std::memory_order_release);
    return true;
  }
  // The mark stays that of the call's start: the step between two calls is short, and one
  // read of the clock a call is enough.
  void leave() { sort_.store(CallSort::none, std::memory_order_relaxed); }

  void count_turned_away() { turned_away_.fetch_add(1, std::memory_order_relaxed); }
  void count_pause(DWORD milliseconds) {
    paused_ms_.fetch_add(milliseconds, std::memory_order_relaxed);
  }
  long turned_away() const { return turned_away_.load(std::memory_order_relaxed); }
  DWORD paused_ms() const { return paused_ms_.load(std::memory_order_relaxed); }

  // While the user is asked something, no limit runs and the step cannot be given up. False,
  // and nothing to ask, once it was: a step given up shows nobody anything.
  bool suspend();
  // The limits start again from the user's answer, however long that took.
  void resume();

  // Ends the step for good, from the step's thread or its watcher's: true for the one caller
  // that did, false when the step was given up already or is asking the user something. Then
  // no call enters, nothing is asked, and the watcher's event is set.
  bool give_up(GiveUp why, const CallName& call, DWORD waited_ms);
  bool given_up() const { return state_.load(std::memory_order_acquire) == State::given_up; }
  // Why, once given_up().
  GivenUp given_up_as() const;
  // Set once the step is given up, for a watcher to wait on.
  HANDLE given_up_event() const { return given_up_event_.get(); }

  // For the watcher: how long it may sleep before the step can have been stuck for the limit;
  // 0 once it has.
  DWORD time_left() const;
  // Since the last mark: the start of the call outstanding, or of the last one.
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

 private:
  enum class State : unsigned char { running, asking, given_up };

  const CallLimits limits_;
  const CallClock clock_;
  std::atomic<DWORD> mark_;
  std::atomic<CallSort> sort_{CallSort::none};
  std::atomic<DISPID> dispid_{0};
  std::atomic<WORD> kind_{0};
  std::atomic<State> state_{State::running};
  mutable std::mutex giving_up_;
  GivenUp given_up_as_;
  const base::unique_handle given_up_event_;
  std::atomic<long> turned_away_{0};
  std::atomic<DWORD> paused_ms_{0};
};

// The watch of the calls made on this thread, or none.
CallWatch* installed_call_watch();

// Whether the step this thread runs was given up: nothing it does may take effect any more.
inline bool step_given_up() {
  const CallWatch* const watch = installed_call_watch();
  return watch != nullptr && watch->given_up();
}

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
// has passed since the first rejection; then the last answer stands. A call Outlook still
// turns away then gives the whole step up: Outlook is taking no calls, and each further call
// would cost the limit again.
template <typename Attempt, typename Retried>
[[gnu::noinline, gnu::cold]] HRESULT ask_again(CallWatch& watch, const CallName& name,
                                               HRESULT answer, Attempt& attempt, Retried& retried) {
  const CallClock& clock = watch.clock();
  const DWORD first = clock.now();
  DWORD pause = first_pause_ms;
  while (retried(answer)) {
    watch.count_turned_away();
    const DWORD spent = clock.now() - first;
    if (spent >= watch.limits().retry_ms) {
      if (is_turned_away(answer)) watch.give_up(GiveUp::busy, name, spent);
      break;
    }
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
