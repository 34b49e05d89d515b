#include "outlook/variant.h"

#include "outlook/com_error.h"

namespace outlook {

namespace {

struct ProcessVariant {
  ProcessVariant() noexcept {
    VariantInit(&value);
    value.vt = VT_ERROR;
    value.scode = DISP_E_PARAMNOTFOUND;
  }
  ~ProcessVariant() { VariantClear(&value); }
  VARIANT value;
};

const ProcessVariant missing;

}  // namespace

const VARIANT& missing_argument() { return missing.value; }

VARIANT* Variant::put() noexcept {
  VariantClear(&value_);
  return &value_;
}

void Variant::clear() {
  const HRESULT result = VariantClear(&value_);
  if (FAILED(result)) raise_com_error(result);
}

void make_variant(Variant& variant, LONG value, VARTYPE type) {
  VARIANT* slot = variant.put();
  switch (type) {
    case VT_I4:
      slot->vt = VT_I4;
      slot->lVal = value;
      return;
    case VT_ERROR:
      slot->vt = VT_ERROR;
      slot->scode = value;
      return;
    case VT_BOOL:
      slot->vt = VT_BOOL;
      slot->boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    default:
      raise_com_error(E_INVALIDARG);
  }
}

}  // namespace outlook
