// The DLL's entry points: the class object COM asks for, the unload check, and the counts that
// tests read in process.

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
    return result;
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&server_counts.locks);
    } else {
      InterlockedDecrement(&server_counts.locks);
    }
    return S_OK;
  }

 private:
  ReferenceCount references_;
};

void write_summary() {
  try {
    log_line("summary calls=" + std::to_string(server_counts.calls) +
             " objects=" + std::to_string(server_counts.objects) +
             " references=" + std::to_string(server_counts.references));
  } catch (const std::bad_alloc&) {
  }
  close_log();
}

}  // namespace

}  // namespace testbed

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) testbed::write_summary();
  return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI
    DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != testbed::outlook_application_clsid) return CLASS_E_CLASSNOTAVAILABLE;
  testbed::ClassFactory* factory = new (std::nothrow) testbed::ClassFactory;
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT result = factory->query(iid, out);
  factory->Release();
  return result;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow() {
  return testbed::server_counts.objects == 0 && testbed::server_counts.locks == 0 ? S_OK : S_FALSE;
}

extern "C" __declspec(dllexport) void WINAPI
    outlook_standin_counters(LONG* calls, LONG* objects, LONG* references) {
  if (calls != nullptr) *calls = testbed::server_counts.calls;
  if (objects != nullptr) *objects = testbed::server_counts.objects;
  if (references != nullptr) *references = testbed::server_counts.references;
}
