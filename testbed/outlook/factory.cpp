// The class object of Outlook's Application, shared by the DLL and the local server.

#include <windows.h>

#include <new>

#include "testbed/outlook/server.h"

namespace testbed {

namespace {

class ClassFactory : public IClassFactory {
 public:
  virtual ~ClassFactory() = default;

  // The query without logging, for the server's own use.
  HRESULT query(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    references_.add();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    const HRESULT result = query(iid, out);
    try {
      log_line("query ClassFactory " + interface_name(iid) + " -> " + hresult_text(result));
    } catch (const std::bad_alloc&) {
    }
    return result;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return references_.add(); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = references_.release();
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    HRESULT result = CLASS_E_NOAGGREGATION;
    try {
      if (outer == nullptr) result = create_application(iid, out);
      log_line("create " + interface_name(iid) + " Application -> " + hresult_text(result));
    } catch (const std::bad_alloc&) {
      if (*out == nullptr) result = E_OUTOFMEMORY;
    }
    // A local server whose making failed has nothing left to serve.
    if (FAILED(result) && server_counts.automation == 0 && last_object_gone != nullptr)
      last_object_gone();
    return result;
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&server_counts.locks);
    } else {
      if (InterlockedDecrement(&server_counts.locks) == 0 && server_counts.automation == 0 &&
          last_object_gone != nullptr)
        last_object_gone();
    }
    return S_OK;
  }

 private:
  ReferenceCount references_;
};

}  // namespace

HRESULT make_class_factory(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  ClassFactory* factory = new (std::nothrow) ClassFactory;
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT result = factory->query(iid, out);
  factory->Release();
  return result;
}

}  // namespace testbed
