// resident.exe EVENT: stands in for the add-in's own program while it runs, so that its image
// is in use (a copy of it is placed as Merivane.exe). It waits until the named event is set,
// or 60 s at most, so that a test that fails never leaves it behind, and exits 0; 2 without a
// name, 1 when the event cannot be made. A GUI program: no console, no window.

#include <windows.h>

#include "base/unique_any.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR event_name, int) {
  if (event_name[0] == '\0') return 2;
  // Made when missing, so that the order in which the test and this program start is free.
  const base::unique_handle released(CreateEventA(nullptr, TRUE, FALSE, event_name));
  if (!released) return 1;
  WaitForSingleObject(released.get(), 60000);
  return 0;
}
