#pragma once
// The owner of one IDispatch reference.

#include <windows.h>
#include <oaidl.h>

namespace outlook {

class DispatchPtr {
 public:
  DispatchPtr() noexcept = default;
  // Takes over a reference the caller already holds (a call's VT_DISPATCH result).
  static DispatchPtr adopt(IDispatch* object) noexcept;

  DispatchPtr(const DispatchPtr& other) noexcept;
  DispatchPtr& operator=(const DispatchPtr& other) noexcept;
  DispatchPtr(DispatchPtr&& other) noexcept;
  DispatchPtr& operator=(DispatchPtr&& other) noexcept;
  ~DispatchPtr();

  // Holds object with a reference of its own: the new one is added before the old one goes.
  DispatchPtr& operator=(IDispatch* object) noexcept;

  // Asks source for IDispatch and holds the answer. On failure the owner is empty and the
  // failure is returned; a null source gives E_NOINTERFACE.
  HRESULT assign_query(IUnknown* source) noexcept;

  // Creates an object of the class. With a context that reaches a local or remote server
  // the object is created for IUnknown, run, and then asked for IDispatch. Raises nothing.
  HRESULT create_instance(REFCLSID clsid, IUnknown* outer, DWORD context) noexcept;

  void reset() noexcept;
  IDispatch* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // The object, or E_POINTER raised when there is none.
  IDispatch* checked() const {
    if (object_ == nullptr) raise_empty();
    return object_;
  }

 private:
  [[noreturn]] static void raise_empty();

  IDispatch* object_ = nullptr;
};

}  // namespace outlook
