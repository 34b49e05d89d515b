#include "outlook/dispatch_ptr.h"

#include <ole2.h>

#include "outlook/com_error.h"

namespace outlook {

DispatchPtr DispatchPtr::adopt(IDispatch* object) noexcept {
  DispatchPtr owner;
  owner.object_.reset(object);
  return owner;
}

DispatchPtr::DispatchPtr(const DispatchPtr& other) noexcept { *this = other.get(); }

DispatchPtr& DispatchPtr::operator=(const DispatchPtr& other) noexcept {
  return *this = other.get();
}

DispatchPtr& DispatchPtr::operator=(IDispatch* object) noexcept {
  if (object == get()) return *this;
  if (object != nullptr) object->AddRef();
  object_.reset(object);
  return *this;
}

HRESULT DispatchPtr::assign_query(IUnknown* source) noexcept {
  void* answer = nullptr;
  // Asked before the old reference goes: the source may be the object held.
  const HRESULT result =
      source != nullptr ? source->QueryInterface(IID_IDispatch, &answer) : E_NOINTERFACE;
  object_.reset(SUCCEEDED(result) ? static_cast<IDispatch*>(answer) : nullptr);
  return result;
}

HRESULT DispatchPtr::create_instance(REFCLSID clsid, IUnknown* outer, DWORD context) noexcept {
  reset();
  if ((context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) == 0) {
    return CoCreateInstance(clsid, outer, context, IID_IDispatch,
                            reinterpret_cast<void**>(object_.put()));
  }
  base::unique_com<IUnknown> unknown;
  const HRESULT created = CoCreateInstance(clsid, outer, context, IID_IUnknown,
                                           reinterpret_cast<void**>(unknown.put()));
  if (FAILED(created)) return created;
  const HRESULT ran = OleRun(unknown.get());
  if (FAILED(ran)) return ran;
  return assign_query(unknown.get());
}

void DispatchPtr::raise_empty() { raise_com_error(E_POINTER); }

}  // namespace outlook
