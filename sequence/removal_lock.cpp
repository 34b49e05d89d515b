#include "sequence/removal_lock.h"

namespace app {

namespace {

bool take_lock(const char* name, unique_removal_lock& lock) {
  lock.reset();
  base::unique_handle mutex(CreateMutexA(nullptr, FALSE, name));
  // An elevated run's mutex does not open for a run without its rights: it is held.
  if (!mutex) return GetLastError() != ERROR_ACCESS_DENIED;
  switch (WaitForSingleObject(mutex.get(), 0)) {
    case WAIT_OBJECT_0:
    // The run that held it was ended without giving it back; it is gone, so this one goes on.
    case WAIT_ABANDONED:
      lock.reset(mutex.release());
      return true;
    case WAIT_TIMEOUT:
      return false;
    default:
      return true;
  }
}

}  // namespace

bool take_removal_lock(unique_removal_lock& lock) { return take_lock(removal_mutex_name, lock); }

bool take_user_part_lock(unique_removal_lock& lock) {
  return take_lock(user_part_mutex_name, lock);
}

}  // namespace app
