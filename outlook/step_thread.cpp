// The Outlook step on a thread of its own, watched from the caller's. A call into Outlook may
// never come back (a dialog nobody sees, a profile prompt on a service's desktop); the caller
// then gives the step up and goes on, and the stuck thread is left with everything it holds
// until the process ends. It is never terminated: what it holds would be left inconsistent.

#include <windows.h>

#include <memory>
#include <string>

#include "base/unique_any.h"
#include "mapi/session.h"
#include "outlook/conversion.h"
#include "outlook/guarded_report.h"
#include "outlook/members.h"

namespace outlook {

namespace {

// What the step's thread and its watcher share; the last of the two to let go frees it, and a
// thread given up may never let go.
struct SharedStep {
  SharedStep(ConversionReport* run_report, const StepEnvironment& step_environment)
      : watch(step_environment.limits),
        report(run_report, watch),
        reported(run_report != nullptr),
        environment(step_environment) {}

  CallWatch watch;
  GuardedReport report;
  // A run without a report gives the step none: it then asks Outlook nothing for one.
  const bool reported;
  const StepEnvironment environment;
  // Written by the thread, read by the watcher once the thread has ended.
  bool result = false;
  bool needs_manual_form_step = true;
};

void run_step(SharedStep& step) {
  const WatchedCalls watched(step.watch);
  bool flag = true;
  const bool result = convert_outlook_tasks_on_this_thread(
      flag, step.reported ? &step.report : nullptr, step.environment);
  step.needs_manual_form_step = flag;
  step.result = result;
}

DWORD WINAPI step_thread(void* parameter) {
  const std::unique_ptr<std::shared_ptr<SharedStep>> handed(
      static_cast<std::shared_ptr<SharedStep>*>(parameter));
  SharedStep& step = **handed;
  // Nothing may leave a thread's routine.
  try {
    run_step(step);
  } catch (...) {
    step.needs_manual_form_step = true;
    step.result = false;
  }
  return 0;
}

const char* kind_text(WORD kind) {
  switch (kind) {
    case DISPATCH_PROPERTYGET:
      return "get";
    case DISPATCH_PROPERTYPUT:
      return "put";
    case DISPATCH_METHOD:
      return "method";
    default:
      return "call";
  }
}

// The call as the log names it.
std::string call_text(const CallName& call) {
  switch (call.sort) {
    case CallSort::create:
      return "CoCreateInstance";
    case CallSort::run:
      return "OleRun";
    case CallSort::bind:
      return "GetIDsOfNames";
    case CallSort::invoke: {
      const char* name = member_name(call.dispid);
      return (name != nullptr ? std::string(name) : "dispid " + std::to_string(call.dispid)) + " " +
             kind_text(call.kind);
    }
    case CallSort::none:
      break;
  }
  return "none (between calls)";
}

// A real wait, never a poll: under emulation two threads must not work at once. The watcher
// wakes when the step could have been stuck for the limit, and looks again; or when the step's
// thread gave the step up itself. True when the thread ended with the step not given up.
bool ends_in_time(HANDLE thread, CallWatch& watch) {
  const HANDLE woken_by[] = {thread, watch.given_up_event()};
  const DWORD count = woken_by[1] != nullptr ? 2 : 1;
  for (;;) {
    const DWORD waited = WaitForMultipleObjects(count, woken_by, FALSE, watch.time_left());
    if (waited == WAIT_OBJECT_0) return !watch.given_up();
    if (waited == WAIT_OBJECT_0 + 1) return false;
    // Asking the user, or given up by the thread a moment ago: the wait goes on.
    if ((waited != WAIT_TIMEOUT || watch.time_left() == 0) &&
        watch.give_up(GiveUp::unanswered, watch.outstanding(), watch.since_mark()))
      return false;
  }
}

// The one place where the end of a step given up is told: whatever the thread left behind
// does from now on reaches nobody, and the MAPI session it may still hold is the process's.
void tell_given_up(SharedStep& step, ConversionReport* report) {
  step.report.close();
  mapi::leave_mapi_session_to_process();
  if (report == nullptr) return;
  const GivenUp given_up = step.watch.given_up_as();
  const std::string call = call_text(given_up.call);
  if (given_up.why == GiveUp::busy)
    report->outlook_busy(call.c_str(), given_up.waited_ms);
  else
    report->call_unanswered(call.c_str(), given_up.waited_ms);
}

}  // namespace

bool convert_outlook_tasks(bool& needs_manual_form_step, ConversionReport* report,
                           const StepEnvironment& environment) {
  needs_manual_form_step = true;
  try {
    const auto step = std::make_shared<SharedStep>(report, environment);
    auto handed = std::make_unique<std::shared_ptr<SharedStep>>(step);
    const base::unique_handle thread(
        CreateThread(nullptr, 0, step_thread, handed.get(), 0, nullptr));
    bool ended = true;
    if (!thread) {
      // No thread to be had: the step runs here, unwatched, as it would have without one.
      run_step(*step);
      ended = !step->watch.given_up();
    } else {
      handed.release();  // the thread's now
      ended = ends_in_time(thread.get(), step->watch);
    }
    if (!ended) tell_given_up(*step, report);
    if (report != nullptr)
      report->calls_turned_away(step->watch.turned_away(), step->watch.paused_ms());
    if (!ended) return false;
    needs_manual_form_step = step->needs_manual_form_step;
    return step->result;
  } catch (...) {
    needs_manual_form_step = true;
    return false;
  }
}

}  // namespace outlook
