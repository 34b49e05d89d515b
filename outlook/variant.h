#pragma once
// VARIANTs the program makes for its calls.

#include <windows.h>
#include <oaidl.h>

namespace outlook {

// The value passed for an omitted optional argument: VT_ERROR with DISP_E_PARAMNOTFOUND.
// Made before the program's entry point runs and cleared when the process ends.
const VARIANT& missing_argument();

// One VARIANT made for one call. clear() gives it back and raises when that fails; a value
// still held when the owner goes (a call raised) is cleared quietly.
class Variant {
 public:
  Variant() noexcept { VariantInit(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&value_); }

  const VARIANT& get() const noexcept { return value_; }
  VARIANT* put() noexcept;
  void clear();

 private:
  VARIANT value_;
};

// VT_I4 holds the number, VT_ERROR holds it as an error code, VT_BOOL holds VARIANT_TRUE
// for non-zero; any other type raises E_INVALIDARG.
void make_variant(Variant& variant, LONG value, VARTYPE type);

}  // namespace outlook
