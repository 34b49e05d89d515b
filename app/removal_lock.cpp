#include "app/removal_lock.h"

namespace app {

bool take_removal_lock(unique_removal_lock& lock) {
  lock.reset();
  base::unique_handle mutex(CreateMutexA(nullptr, FALSE, removal_mutex_name));
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

}  // namespace app
