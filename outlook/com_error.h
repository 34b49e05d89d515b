#pragma once
// The failure that travels through the Outlook conversion: an HRESULT with the server's
// error information, if any. Named as the platform's class, but kept in this namespace so
// that it never meets the toolchain's own.

#include <windows.h>
#include <oaidl.h>

namespace outlook {

class _com_error {
 public:
  // Takes over the reference to error_info, if any.
  explicit _com_error(HRESULT code, IErrorInfo* error_info = nullptr) noexcept;
  _com_error(const _com_error& other) noexcept;
  _com_error& operator=(const _com_error& other) noexcept;
  virtual ~_com_error();

  HRESULT Error() const noexcept { return code_; }
  IErrorInfo* ErrorInfo() const noexcept { return error_info_; }

 private:
  HRESULT code_;
  IErrorInfo* error_info_;
};

// Raises a failure the program found by itself: no error information.
[[noreturn]] void raise_com_error(HRESULT code);

// The failure of a Win32 call as an HRESULT.
[[noreturn]] void raise_last_error();

}  // namespace outlook
