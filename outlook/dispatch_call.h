#pragma once
// One late-bound call through IDispatch::Invoke by DISPID.

#include <windows.h>
#include <oaidl.h>

#include <initializer_list>

#include "outlook/automation_string.h"

namespace outlook {

// Marks an optional argument in a parameter-type list.
inline constexpr VARTYPE optional_parameter = 0x0800;

// Parameter-type lists, zero-terminated, one code per argument in declaration order.
inline constexpr VARTYPE one_bstr[] = {VT_BSTR, 0};
inline constexpr VARTYPE one_variant[] = {VT_VARIANT, 0};
inline constexpr VARTYPE one_optional_variant[] = {optional_parameter | VT_VARIANT, 0};
inline constexpr VARTYPE one_i4[] = {VT_I4, 0};
inline constexpr VARTYPE two_variants[] = {VT_VARIANT, VT_VARIANT, 0};
inline constexpr VARTYPE two_bstrs[] = {VT_BSTR, VT_BSTR, 0};
inline constexpr VARTYPE bstr_and_i4[] = {VT_BSTR, VT_I4, 0};

// One argument of a call, typed: a string, a 32-bit integer, or a VARIANT that is copied
// into the call. What it refers to must outlive the call.
class Argument {
 public:
  Argument(const AutomationString& text) noexcept : type_(VT_BSTR) { text_ = text.bstr(); }
  Argument(LONG number) noexcept : type_(VT_I4) { number_ = number; }
  Argument(const VARIANT& variant) noexcept : type_(VT_VARIANT) { variant_ = &variant; }

  VARTYPE type() const noexcept { return type_; }
  // Writes the argument into the call's VARIANT slot; nothing in it is owned by the slot.
  void lay_into(VARIANT& slot) const noexcept;

 private:
  VARTYPE type_;
  union {
    BSTR text_;
    LONG number_;
    const VARIANT* variant_;
  };
};

// Where a call's result goes, by the result type asked for: VT_I4 a LONG, VT_BSTR a BSTR,
// VT_DISPATCH an IDispatch*, VT_VARIANT a VARIANT. What is stored belongs to the caller.
//
// Returns the HRESULT of a successful call and raises _com_error otherwise, with the
// server's error information when the server raised an exception. The arguments must match
// the parameter list in number and type, else E_INVALIDARG is raised before any call.
HRESULT dispatch_call(IDispatch* object, DISPID dispid, WORD kind, VARTYPE result_type,
                      void* result_slot, const VARTYPE* parameter_types,
                      std::initializer_list<Argument> arguments);

// Binds one member by name, asked again as a call is while Outlook turns it away: the
// answer of GetIDsOfNames.
HRESULT bind_name(IDispatch* object, const wchar_t* name, DISPID& id);

// The failure code of a server exception.
HRESULT exception_code(const EXCEPINFO& exception) noexcept;

}  // namespace outlook
