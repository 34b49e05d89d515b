#pragma once
// For tests: puts the Outlook stand-in where COM looks for Outlook, and reads the counts it
// keeps while it is loaded in the test's process.

#include <windows.h>

#include <optional>
#include <string>

#include "base/unique_any.h"

namespace testbed {

inline constexpr char outlook_clsid_text[] = "{0006F033-0000-0000-C000-000000000046}";

// Registers dll_path as Outlook's in-process server, so that CoCreateInstance by Outlook's
// CLSID loads it: for the current user (HKCU\Software\Classes), and for the machine too
// (HKLM\Software\Classes), which is the only place Wine's COM looks.
void register_outlook_standin(const std::string& dll_path);
// Registers exe_path as Outlook's local server (LocalServer32, and the ProgID
// Outlook.Application), in both registry views, since a client reads the class from its own:
// a 32-bit client on 64-bit Windows reaches a 64-bit Outlook so. Any in-process registration
// goes.
void register_outlook_local_server(const std::string& exe_path);
// Removes either registration from both views; no error when there is none.
void unregister_outlook_standin();
// outlook_standin.dll next to the running executable.
std::string outlook_standin_path();
// outlook_server.exe next to the running executable, or the one of the other architecture's
// build (build/win32/bin beside build/win64/bin); empty when that one is not built.
std::string outlook_server_path(bool other_architecture = false);

// outlook_window.exe running, its window of Outlook's main class on screen, until close() or
// the end of the owner.
class OutlookWindow {
 public:
  OutlookWindow();  // throws when the window does not appear within 30 s
  ~OutlookWindow() { close(); }
  OutlookWindow(const OutlookWindow&) = delete;
  OutlookWindow& operator=(const OutlookWindow&) = delete;
  // Posts WM_CLOSE and waits until the window and its process are gone.
  void close();

 private:
  base::unique_handle process_;
};

struct OutlookStandinCounters {
  LONG calls = 0;       // Invoke calls since the DLL was loaded
  LONG objects = 0;     // its live objects
  LONG references = 0;  // the sum of their reference counts
};
// Nothing when the stand-in is not loaded in this process.
std::optional<OutlookStandinCounters> outlook_standin_counters();

}  // namespace testbed
