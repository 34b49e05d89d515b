#pragma once
// One removal at a time, machine-wide: two runs started together (a user double-clicking, a
// deployment agent beside the user) would both walk Outlook and both delete. Every run that
// removes takes the mutex before it asks or does anything; the platform gives it back when
// the process ends, however it ends. Beside it, one user's part at a time in a user's session:
// a part left to the user's logon and a removal the user starts meanwhile must not convert the
// same store at once.

#include <windows.h>

#include "base/unique_any.h"

namespace app {

// In the Global namespace, so that runs in other sessions (a deployment agent's, another
// user's) see it too.
inline constexpr char removal_mutex_name[] = "Global\\Quillaburst.Merivane.Uninstall";
// In the session's own namespace, which every process of its user reaches, whatever its rights.
inline constexpr char user_part_mutex_name[] = "Local\\Quillaburst.Merivane.UserPart";

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

// False when another run holds the mutex. A mutex that cannot be made at all for any other
// reason leaves the run unguarded (lock stays empty) rather than stopping it.
bool take_removal_lock(unique_removal_lock& lock);
bool take_user_part_lock(unique_removal_lock& lock);

}  // namespace app
