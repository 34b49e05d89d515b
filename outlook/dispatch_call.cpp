#include "outlook/dispatch_call.h"

#include <oleauto.h>

#include <cstddef>

#include "base/unique_any.h"
#include "outlook/call_watch.h"
#include "outlook/com_error.h"

namespace outlook {

namespace {

// More than any member the program calls takes.
constexpr std::size_t max_arguments = 8;

std::size_t parameter_count(const VARTYPE* parameter_types) {
  std::size_t count = 0;
  if (parameter_types != nullptr) {
    while (parameter_types[count] != 0) ++count;
  }
  return count;
}

bool is_omitted(VARTYPE listed, const VARIANT& argument) {
  return listed == (optional_parameter | VT_VARIANT) && argument.vt == VT_ERROR &&
         argument.scode == DISP_E_PARAMNOTFOUND;
}

// Turns a server exception into error information; the exception's strings are freed.
IErrorInfo* take_exception(EXCEPINFO& exception) {
  if (exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
  const base::unique_bstr source(exception.bstrSource), description(exception.bstrDescription),
      help_file(exception.bstrHelpFile);
  IErrorInfo* error_info = nullptr;
  base::unique_com<ICreateErrorInfo> creator;
  if (SUCCEEDED(CreateErrorInfo(creator.put()))) {
    creator.get()->SetGUID(IID_IDispatch);
    if (source) creator.get()->SetSource(source.get());
    if (description) creator.get()->SetDescription(description.get());
    if (help_file) creator.get()->SetHelpFile(help_file.get());
    creator.get()->SetHelpContext(exception.dwHelpContext);
    if (FAILED(
            creator.get()->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&error_info))))
      error_info = nullptr;
  }
  return error_info;
}

void store_result(VARIANT& result, VARTYPE result_type, void* slot) {
  switch (result_type) {
    case VT_I4:
      *static_cast<LONG*>(slot) = result.lVal;
      break;
    case VT_BSTR:
      *static_cast<BSTR*>(slot) = result.bstrVal;
      break;
    case VT_DISPATCH:
      *static_cast<IDispatch**>(slot) = result.pdispVal;
      break;
    default:
      *static_cast<VARIANT*>(slot) = result;
      break;
  }
}

// The paths taken only when something went wrong are kept out of the call's own frame.
[[noreturn, gnu::noinline, gnu::cold]] void raise_failure(HRESULT outcome, VARIANT& result,
                                                          EXCEPINFO& exception) {
  VariantClear(&result);
  IErrorInfo* error_info = nullptr;
  if (outcome == DISP_E_EXCEPTION) {
    error_info = take_exception(exception);
    outcome = exception_code(exception);
  }
  throw _com_error(outcome, error_info);
}

[[gnu::noinline, gnu::cold]] void convert_result(VARIANT& result, VARTYPE result_type) {
  const HRESULT converted = VariantChangeType(&result, &result, 0, result_type);
  if (FAILED(converted)) {
    VariantClear(&result);
    raise_com_error(converted);
  }
}

bool is_storable(VARTYPE result_type) {
  return result_type == VT_EMPTY || result_type == VT_I4 || result_type == VT_BSTR ||
         result_type == VT_DISPATCH || result_type == VT_VARIANT;
}

}  // namespace

void Argument::lay_into(VARIANT& slot) const noexcept {
  switch (type_) {
    case VT_BSTR:
      slot.vt = VT_BSTR;
      slot.bstrVal = text_;
      break;
    case VT_I4:
      slot.vt = VT_I4;
      slot.lVal = number_;
      break;
    default:
      slot = *variant_;
      break;
  }
}

HRESULT exception_code(const EXCEPINFO& exception) noexcept {
  if (exception.wCode == 0) return exception.scode;
  if (exception.wCode < 0xFE00) return static_cast<HRESULT>(0x80040200u + exception.wCode);
  return static_cast<HRESULT>(0x8004FFFFu);
}

HRESULT dispatch_call(IDispatch* object, DISPID dispid, WORD kind, VARTYPE result_type,
                      void* result_slot, const VARTYPE* parameter_types,
                      std::initializer_list<Argument> arguments) {
  if (object == nullptr) raise_com_error(E_POINTER);
  std::size_t count = parameter_count(parameter_types);
  const bool writes = (kind & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  if ((writes && count == 0) || count != arguments.size() || count > max_arguments ||
      !is_storable(result_type) || (result_type != VT_EMPTY && result_slot == nullptr))
    raise_com_error(E_INVALIDARG);

  // Last argument first, as DISPPARAMS wants them.
  VARIANT laid_out[max_arguments];
  std::size_t position = count;
  for (const Argument& argument : arguments) {
    const VARTYPE listed = parameter_types[count - position];
    if ((listed & ~optional_parameter) != argument.type()) raise_com_error(E_INVALIDARG);
    argument.lay_into(laid_out[--position]);
  }
  // Trailing omitted optional arguments are not passed at all.
  VARIANT* first = laid_out;
  while (count != 0 && is_omitted(parameter_types[count - 1], *first)) {
    ++first;
    --count;
  }

  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS parameters{};
  parameters.rgvarg = count != 0 ? first : nullptr;
  parameters.cArgs = static_cast<UINT>(count);
  if (writes) {
    parameters.rgdispidNamedArgs = &named;
    parameters.cNamedArgs = 1;
  }
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO exception{};
  UINT argument_error = static_cast<UINT>(-1);
  VARIANT* const result_wanted = result_type != VT_EMPTY ? &result : nullptr;
  const HRESULT outcome = call_outlook(
      {CallSort::invoke, dispid, kind},
      [&] {
        return object->Invoke(dispid, IID_NULL, 0, kind, &parameters, result_wanted, &exception,
                              &argument_error);
      },
      is_turned_away);
  if (FAILED(outcome)) raise_failure(outcome, result, exception);
  if (result_type == VT_EMPTY) return outcome;
  if (result_type != VT_VARIANT && result.vt != result_type) convert_result(result, result_type);
  store_result(result, result_type, result_slot);
  return outcome;
}

HRESULT bind_name(IDispatch* object, const wchar_t* name, DISPID& id) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  return call_outlook(
      {CallSort::bind, 0, 0}, [&] { return object->GetIDsOfNames(IID_NULL, names, 1, 0, &id); },
      is_turned_away);
}

}  // namespace outlook
