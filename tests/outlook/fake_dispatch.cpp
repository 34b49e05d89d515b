#include "tests/outlook/fake_dispatch.h"

#include <gtest/gtest.h>

namespace outlook_test {

FakeDispatch::FakeDispatch() { VariantInit(&result); }

FakeDispatch::~FakeDispatch() { VariantClear(&result); }

HRESULT FakeDispatch::QueryInterface(REFIID iid, void** out) {
  *out = nullptr;
  if (iid == IID_IUnknown || (iid == IID_IDispatch && supports_dispatch)) {
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  return iid == IID_IDispatch ? query_failure : E_NOINTERFACE;
}

ULONG FakeDispatch::AddRef() { return static_cast<ULONG>(++references); }

ULONG FakeDispatch::Release() {
  EXPECT_GT(references, 0) << "released more often than referenced";
  return static_cast<ULONG>(--references);
}

HRESULT FakeDispatch::GetTypeInfoCount(UINT* count) {
  ADD_FAILURE() << "the layer asked for type information";
  *count = 0;
  return S_OK;
}

HRESULT FakeDispatch::GetTypeInfo(UINT, LCID, ITypeInfo**) {
  ADD_FAILURE() << "the layer asked for type information";
  return E_NOTIMPL;
}

HRESULT FakeDispatch::next_answer() {
  if (answers_first.empty()) return answer;
  const HRESULT next = answers_first.front();
  answers_first.erase(answers_first.begin());
  return next;
}

HRESULT FakeDispatch::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID* ids) {
  if (!names_bound) ADD_FAILURE() << "the layer looked a name up: every call goes by DISPID";
  calls.push_back({DISPID_UNKNOWN, 0, true, 0, {}, {}, false, false, 0});
  *ids = 7;
  return next_answer();
}

HRESULT FakeDispatch::Invoke(DISPID dispid, REFIID iid, LCID locale, WORD kind,
                             DISPPARAMS* parameters, VARIANT* result_out, EXCEPINFO* exception,
                             UINT* argument_error) {
  RecordedCall call{dispid,
                    kind,
                    iid == IID_NULL,
                    locale,
                    {},
                    {},
                    result_out != nullptr,
                    exception != nullptr,
                    argument_error != nullptr ? *argument_error : 0u};
  for (UINT i = 0; i < parameters->cArgs; ++i) {
    call.arguments.push_back(parameters->rgvarg[i]);
    if (parameters->rgvarg[i].vt == VT_BSTR)
      strings_passed.push_back(narrow(parameters->rgvarg[i].bstrVal));
  }
  for (UINT i = 0; i < parameters->cNamedArgs; ++i)
    call.named.push_back(parameters->rgdispidNamedArgs[i]);
  calls.push_back(call);

  const HRESULT given = next_answer();
  if (given == DISP_E_EXCEPTION && exception != nullptr && fill_exception)
    fill_exception(*exception);
  if (SUCCEEDED(given) && result_out != nullptr) {
    EXPECT_EQ(result_out->vt, VT_EMPTY) << "the result VARIANT was not initialised";
    // Wine's VariantCopy turns a null BSTR into an empty one; a server hands null on as null.
    if (result.vt == VT_BSTR && result.bstrVal == nullptr)
      *result_out = result;
    else
      VariantCopy(result_out, &result);
  }
  return given;
}

std::string narrow(const wchar_t* text) {
  if (text == nullptr) return "<null>";
  std::string out;
  for (; *text != 0; ++text) out += static_cast<char>(*text);
  return out;
}

}  // namespace outlook_test
