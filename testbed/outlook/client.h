#pragma once
// For tests: puts the Outlook stand-in where COM looks for Outlook, and reads the counts it
// keeps while it is loaded in the test's process.

#include <windows.h>

#include <optional>
#include <string>

namespace testbed {

inline constexpr char outlook_clsid_text[] = "{0006F033-0000-0000-C000-000000000046}";

// Registers dll_path as Outlook's in-process server, so that CoCreateInstance by Outlook's
// CLSID loads it: for the current user (HKCU\Software\Classes), and for the machine too
// (HKLM\Software\Classes), which is the only place Wine's COM looks.
void register_outlook_standin(const std::string& dll_path);
// Removes that registration; no error when there is none.
void unregister_outlook_standin();
// outlook_standin.dll next to the running executable.
std::string outlook_standin_path();

struct OutlookStandinCounters {
  LONG calls = 0;       // Invoke calls since the DLL was loaded
  LONG objects = 0;     // its live objects
  LONG references = 0;  // the sum of their reference counts
};
// Nothing when the stand-in is not loaded in this process.
std::optional<OutlookStandinCounters> outlook_standin_counters();

}  // namespace testbed
