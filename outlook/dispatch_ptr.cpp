#include "outlook/dispatch_ptr.h"

#include <ole2.h>

#include <utility>

#include "app/unique_any.h"
#include "outlook/com_error.h"

namespace outlook {

DispatchPtr DispatchPtr::adopt(IDispatch* object) noexcept {
  DispatchPtr owner;
  owner.object_ = object;
  return owner;
}

DispatchPtr::DispatchPtr(const DispatchPtr& other) noexcept : object_(other.object_) {
  if (object_ != nullptr) object_->AddRef();
}

DispatchPtr& DispatchPtr::operator=(const DispatchPtr& other) noexcept {
  return *this = other.object_;
}

DispatchPtr::DispatchPtr(DispatchPtr&& other) noexcept
    : object_(std::exchange(other.object_, nullptr)) {}

DispatchPtr& DispatchPtr::operator=(DispatchPtr&& other) noexcept {
  if (this != &other) {
    reset();
    object_ = std::exchange(other.object_, nullptr);
  }
  return *this;
}

DispatchPtr::~DispatchPtr() { reset(); }

DispatchPtr& DispatchPtr::operator=(IDispatch* object) noexcept {
  if (object == object_) return *this;
  if (object != nullptr) object->AddRef();
  IDispatch* old = std::exchange(object_, object);
  if (old != nullptr) old->Release();
  return *this;
}

HRESULT DispatchPtr::assign_query(IUnknown* source) noexcept {
  void* answer = nullptr;
  // Asked before the old reference goes: the source may be the object held.
  const HRESULT result =
      source != nullptr ? source->QueryInterface(IID_IDispatch, &answer) : E_NOINTERFACE;
  IDispatch* old =
      std::exchange(object_, SUCCEEDED(result) ? static_cast<IDispatch*>(answer) : nullptr);
  if (old != nullptr) old->Release();
  return result;
}

HRESULT DispatchPtr::create_instance(REFCLSID clsid, IUnknown* outer, DWORD context) noexcept {
  reset();
  if ((context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) == 0) {
    return CoCreateInstance(clsid, outer, context, IID_IDispatch,
                            reinterpret_cast<void**>(&object_));
  }
  app::unique_com<IUnknown> unknown;
  const HRESULT created = CoCreateInstance(clsid, outer, context, IID_IUnknown,
                                           reinterpret_cast<void**>(unknown.put()));
  if (FAILED(created)) return created;
  const HRESULT ran = OleRun(unknown.get());
  if (FAILED(ran)) return ran;
  return assign_query(unknown.get());
}

void DispatchPtr::reset() noexcept {
  if (IDispatch* old = std::exchange(object_, nullptr)) old->Release();
}

void DispatchPtr::raise_empty() { raise_com_error(E_POINTER); }

}  // namespace outlook
