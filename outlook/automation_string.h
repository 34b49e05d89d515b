#pragma once
// The wide strings (BSTR) that cross the automation boundary, with their narrow (ANSI) views.

#include <windows.h>
#include <oaidl.h>

namespace outlook {

class AutomationString {
 public:
  AutomationString() noexcept = default;
  // Converts narrow text with the ANSI code page; null text gives a null string.
  explicit AutomationString(const char* text);
  // Takes over a string a call returned, without copying it.
  static AutomationString adopt(BSTR text);

  AutomationString(const AutomationString& other) noexcept;
  AutomationString& operator=(const AutomationString& other) noexcept;
  AutomationString(AutomationString&& other) noexcept;
  AutomationString& operator=(AutomationString&& other) noexcept;
  ~AutomationString();

  // The wide string; null for a holder without a string.
  BSTR bstr() const noexcept;
  // The ANSI view, made on first request and kept; null for a null string.
  const char* narrow() const;

 private:
  struct Record;
  explicit AutomationString(Record* record) noexcept : record_(record) {}
  // A record holding wide; frees wide and raises when there is no memory for it.
  static Record* new_record(BSTR wide);
  void release() noexcept;

  Record* record_ = nullptr;
};

}  // namespace outlook
