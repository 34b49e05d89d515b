// What SetProperties' answer says of the properties it was given.

#include "outlook/form_writer.h"

#include <oleauto.h>

#include <gtest/gtest.h>

#include <vector>

#include "outlook/variant.h"

namespace {

// A one-dimensional array of VARIANTs of the element type with these numbers (VT_EMPTY
// elements when the type is VT_EMPTY).
void make_array(outlook::Variant& variant, VARTYPE element_type, const std::vector<LONG>& values) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(values.size()));
  ASSERT_NE(array, nullptr);
  VARIANT* slot = variant.put();
  slot->vt = VT_ARRAY | VT_VARIANT;
  slot->parray = array;
  for (LONG index = 0; index < static_cast<LONG>(values.size()); ++index) {
    VARIANT element;
    VariantInit(&element);
    element.vt = element_type;
    if (element_type != VT_EMPTY) element.lVal = values[static_cast<std::size_t>(index)];
    ASSERT_EQ(SafeArrayPutElement(array, &index, &element), S_OK);
  }
}

TEST(EveryPropertySet, OnlyWhenNothingOrNoFailureComesBack) {
  struct Case {
    const char* what;
    VARTYPE element_type;
    std::vector<LONG> values;
    bool expected;
  };
  const Case cases[] = {
      {"two S_OK errors", VT_ERROR, {S_OK, S_OK}, true},
      {"two empty elements", VT_EMPTY, {0, 0}, true},
      {"one refused", VT_ERROR, {S_OK, LONG(E_ACCESSDENIED)}, false},
      {"a failure as a number", VT_I4, {0, LONG(0x8004010F)}, false},
      {"something else", VT_BOOL, {0, 0}, false},
  };
  for (const Case& c : cases) {
    outlook::Variant answer;
    make_array(answer, c.element_type, c.values);
    EXPECT_EQ(outlook::every_property_set(answer.get()), c.expected) << c.what;
    // The same array as an answer passed by reference.
    SAFEARRAY* array = answer.get().parray;
    VARIANT by_reference;
    by_reference.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    by_reference.pparray = &array;
    EXPECT_EQ(outlook::every_property_set(by_reference), c.expected) << c.what << " by reference";
  }

  outlook::Variant nothing;
  EXPECT_TRUE(outlook::every_property_set(nothing.get()));
  outlook::make_variant(nothing, LONG(E_FAIL), VT_ERROR);
  EXPECT_FALSE(outlook::every_property_set(nothing.get()));

  SAFEARRAYBOUND bounds[2] = {{1, 0}, {1, 0}};
  outlook::Variant flat;
  VARIANT* slot = flat.put();
  slot->vt = VT_ARRAY | VT_VARIANT;
  slot->parray = SafeArrayCreate(VT_VARIANT, 2, bounds);
  EXPECT_FALSE(outlook::every_property_set(flat.get())) << "two dimensions";
}

}  // namespace
