#include "outlook/dispatch_ptr.h"

#include <ole2.h>

#include "outlook/call_watch.h"
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
  return create_instance(clsid, outer, context, nullptr);
}

HRESULT DispatchPtr::create_instance(REFCLSID clsid, IUnknown* outer, DWORD context,
                                     bool (*server_open_elsewhere)()) noexcept {
  reset();
  // A server still starting fails the making with CO_E_SERVER_EXEC_FAILURE too; one that runs
  // where it cannot be bound to fails it so for good.
  const auto making_retried = [server_open_elsewhere](HRESULT answer) {
    return is_turned_away(answer) ||
           (answer == CO_E_SERVER_EXEC_FAILURE &&
            (server_open_elsewhere == nullptr || !server_open_elsewhere()));
  };
  if ((context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) == 0) {
    return call_outlook(
        {CallSort::create, 0, 0},
        [&] {
          return CoCreateInstance(clsid, outer, context, IID_IDispatch,
                                  reinterpret_cast<void**>(object_.put()));
        },
        making_retried);
  }
  base::unique_com<IUnknown> unknown;
  const HRESULT created = call_outlook(
      {CallSort::create, 0, 0},
      [&] {
        return CoCreateInstance(clsid, outer, context, IID_IUnknown,
                                reinterpret_cast<void**>(unknown.put()));
      },
      making_retried);
  if (FAILED(created)) return created;
  const HRESULT ran = call_outlook(
      {CallSort::run, 0, 0}, [&] { return OleRun(unknown.get()); }, is_turned_away);
  if (FAILED(ran)) return ran;
  return assign_query(unknown.get());
}

void DispatchPtr::raise_empty() { raise_com_error(E_POINTER); }

}  // namespace outlook
