#include "outlook/form_writer.h"

#include <oleauto.h>

#include <initializer_list>

#include "outlook/automation_string.h"
#include "outlook/com_error.h"
#include "outlook/members.h"
#include "outlook/variant.h"

namespace outlook {

namespace {

// A one-dimensional array of strings in a VARIANT, as SetProperties takes its arguments.
void make_string_array(Variant& variant, std::initializer_list<const char*> texts) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(texts.size()));
  if (array == nullptr) raise_com_error(E_OUTOFMEMORY);
  VARIANT* slot = variant.put();
  slot->vt = VT_ARRAY | VT_VARIANT;
  slot->parray = array;  // the Variant destroys it, with what is put into it
  LONG index = 0;
  for (const char* text : texts) {
    const AutomationString string(text);
    VARIANT element;
    element.vt = VT_BSTR;
    element.bstrVal = string.bstr();
    // The element is copied in, its string with it.
    const HRESULT put = SafeArrayPutElement(array, &index, &element);
    if (FAILED(put)) raise_com_error(put);
    ++index;
  }
}

bool is_success(const VARIANT& element) {
  switch (element.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return true;
    case VT_ERROR:
      return element.scode == S_OK;
    case VT_I4:
      return element.lVal == 0;
    default:
      return false;
  }
}

}  // namespace

bool every_property_set(const VARIANT& answer) {
  if ((answer.vt & VT_ARRAY) == 0) return is_success(answer);
  const VARTYPE type = answer.vt & VT_TYPEMASK;
  SAFEARRAY* array = (answer.vt & VT_BYREF) != 0 ? *answer.pparray : answer.parray;
  if (array == nullptr || SafeArrayGetDim(array) != 1) return false;
  LONG low = 0, high = -1;
  if (FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high)))
    return false;
  for (LONG index = low; index <= high; ++index) {
    VARIANT element;
    VariantInit(&element);
    if (type == VT_VARIANT) {
      if (FAILED(SafeArrayGetElement(array, &index, &element))) return false;
    } else if (type == VT_ERROR || type == VT_I4) {
      element.vt = type;
      if (FAILED(SafeArrayGetElement(array, &index, &element.lVal))) return false;
    } else {
      return false;
    }
    const bool set = is_success(element);
    VariantClear(&element);
    if (!set) return false;
  }
  return true;
}

bool OutlookFormWriter::available(const DispatchPtr& folder) {
  return accessor_.id(folder).has_value();
}

bool OutlookFormWriter::write(const DispatchPtr& folder, const char* message_class,
                              const char* display_name) {
  if (!available(folder)) return false;
  try {
    Variant answer;
    {
      const DispatchPtr accessor = folder_property_accessor(folder, *accessor_.id(folder));
      const std::optional<DISPID> set_properties = set_properties_.id(accessor);
      if (!set_properties) return false;
      Variant names, values;
      make_string_array(names, {message_class_schema, display_name_schema});
      make_string_array(values, {message_class, display_name});
      accessor_set_properties(accessor, *set_properties, names.get(), values.get(), answer);
    }
    return every_property_set(answer.get());
  } catch (...) {
    return false;
  }
}

}  // namespace outlook
