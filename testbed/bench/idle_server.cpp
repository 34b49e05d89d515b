// A dispatch object that does nothing, for the call layer's benchmark.

#include <windows.h>
#include <oaidl.h>

namespace {

// Answers every property read with 1 and every method call with itself.
class IdleServer : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD kind, DISPPARAMS*, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    if (result == nullptr) return S_OK;
    if (kind == DISPATCH_METHOD) {
      AddRef();
      result->vt = VT_DISPATCH;
      result->pdispVal = this;
    } else {
      result->vt = VT_I4;
      result->lVal = 1;
    }
    return S_OK;
  }
  ULONG references() const { return references_; }

 private:
  ULONG references_ = 1;
};

IdleServer server;

}  // namespace

IDispatch* idle_server() { return &server; }
ULONG idle_server_references() { return server.references(); }
