#pragma once
// One removal at a time, machine-wide: two runs started together (a user double-clicking, a
// deployment agent beside the user) would both walk Outlook and both delete. Every run that
// removes takes the mutex before it asks or does anything; the platform gives it back when
// the process ends, however it ends.

#include <windows.h>

#include "base/unique_any.h"

namespace app {

// In the Global namespace, so that runs in other sessions (a deployment agent's, another
// user's) see it too.
inline constexpr char removal_mutex_name[] = "Global\\Quillaburst.Merivane.Uninstall";

// A mutex this thread owns: given back, then closed.
struct OwnedMutexTraits {
  using type = HANDLE;
  static type empty() { return nullptr; }
  static void close(type mutex) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
};
using unique_removal_lock = base::unique_any<OwnedMutexTraits>;

// False when another removal holds the mutex. A mutex that cannot be made at all for any
// other reason leaves the run unguarded (lock stays empty) rather than stopping it.
bool take_removal_lock(unique_removal_lock& lock);

}  // namespace app
