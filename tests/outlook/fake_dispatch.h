#pragma once
// A strict IDispatch for the call layer's tests: it records every Invoke with what came with
// it and answers with a prepared result, failure or exception. References are counted, so a
// test can prove that every reference taken was given back.

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string>
#include <vector>

namespace outlook_test {

struct RecordedCall {
  DISPID dispid;
  WORD kind;
  bool iid_null;
  LCID locale;
  std::vector<VARIANT> arguments;  // as laid out: last argument first (shallow copies)
  std::vector<DISPID> named;
  bool result_wanted;
  bool exception_given;
  UINT argument_error_preset;
};

class FakeDispatch : public IDispatch {
 public:
  FakeDispatch();
  virtual ~FakeDispatch();

  // What the next calls answer; the result is copied into the caller's VARIANT.
  HRESULT answer = S_OK;
  std::vector<HRESULT> answers_first;  // answered one by one, before answer
  bool names_bound = false;            // GetIDsOfNames is expected, and answered as Invoke is
  VARIANT result;
  std::function<void(EXCEPINFO&)> fill_exception;  // run when answer is DISP_E_EXCEPTION
  bool supports_dispatch = true;                   // QueryInterface for IDispatch succeeds
  HRESULT query_failure = E_NOINTERFACE;           // what a refused query returns

  std::vector<RecordedCall> calls;
  std::vector<std::string> strings_passed;  // BSTR arguments, while the call ran
  LONG references = 1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID iid, LCID locale, WORD kind,
                                   DISPPARAMS* parameters, VARIANT* result_out,
                                   EXCEPINFO* exception, UINT* argument_error) override;

 private:
  HRESULT next_answer();
};

std::string narrow(const wchar_t* text);

}  // namespace outlook_test
