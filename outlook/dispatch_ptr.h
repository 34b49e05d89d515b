#pragma once
// The owner of one IDispatch reference.

#include <windows.h>
#include <oaidl.h>

#include "base/unique_any.h"

namespace outlook {

class DispatchPtr {
 public:
  DispatchPtr() noexcept = default;
  // Takes over a reference the caller already holds (a call's VT_DISPATCH result).
  static DispatchPtr adopt(IDispatch* object) noexcept;

  DispatchPtr(const DispatchPtr& other) noexcept;
  DispatchPtr& operator=(const DispatchPtr& other) noexcept;
  DispatchPtr(DispatchPtr&& other) noexcept = default;
  DispatchPtr& operator=(DispatchPtr&& other) noexcept = default;

  // Holds object with a reference of its own: the new one is added before the old one goes.
  DispatchPtr& operator=(IDispatch* object) noexcept;

  // Asks source for IDispatch and holds the answer. On failure the owner is empty and the
  // failure is returned; a null source gives E_NOINTERFACE.
  HRESULT assign_query(IUnknown* source) noexcept;

  // Creates an object of the class. With a context that reaches a local or remote server
  // the object is created for IUnknown, run, and then asked for IDispatch. Raises nothing.
  // Making and running are asked again while the server turns them away, and the making also
  // while it fails with CO_E_SERVER_EXEC_FAILURE, unless server_open_elsewhere (when given)
  // says the server runs where it cannot be bound to.
  HRESULT create_instance(REFCLSID clsid, IUnknown* outer, DWORD context) noexcept;
  HRESULT create_instance(REFCLSID clsid, IUnknown* outer, DWORD context,
                          bool (*server_open_elsewhere)()) noexcept;

  void reset() noexcept { object_.reset(); }
  IDispatch* get() const noexcept { return object_.get(); }
  explicit operator bool() const noexcept { return bool(object_); }

  // The object, or E_POINTER raised when there is none.
  IDispatch* checked() const {
    if (!object_) raise_empty();
    return object_.get();
  }

 private:
  [[noreturn]] static void raise_empty();

  base::unique_com<IDispatch> object_;
};

}  // namespace outlook
