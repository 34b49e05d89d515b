// The owners of the call layer: DispatchPtr, AutomationString, the call's VARIANTs.

#include <gtest/gtest.h>

#include <utility>

#include "outlook/automation_string.h"
#include "outlook/com_error.h"
#include "outlook/dispatch_ptr.h"
#include "outlook/members.h"
#include "outlook/variant.h"
#include "tests/outlook/fake_dispatch.h"

namespace {

using outlook::_com_error;
using outlook::AutomationString;
using outlook::DispatchPtr;
using outlook_test::FakeDispatch;

TEST(DispatchPtr, CopiesAssignmentsAndSelfAssignmentKeepTheCountRight) {
  FakeDispatch first, second;
  {
    DispatchPtr a;
    a = &first;
    EXPECT_EQ(first.references, 2);
    DispatchPtr b(a);
    EXPECT_EQ(first.references, 3);
    b = b;        // copy-assigning itself
    a = a.get();  // the pointer it already holds
    EXPECT_EQ(first.references, 3);
    b = &second;
    EXPECT_EQ(first.references, 2);
    EXPECT_EQ(second.references, 2);
    a = b;
    EXPECT_EQ(first.references, 1);
    EXPECT_EQ(second.references, 3);
    DispatchPtr c(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(second.references, 3);
    c.reset();
    EXPECT_EQ(second.references, 2);
  }
  EXPECT_EQ(first.references, 1);
  EXPECT_EQ(second.references, 1);
}

TEST(DispatchPtr, AssignWithQueryKeepsTheAnswerOrEndsEmpty) {
  FakeDispatch held, answering, refusing, failing;
  refusing.supports_dispatch = false;
  failing.supports_dispatch = false;
  failing.query_failure = E_OUTOFMEMORY;
  {
    DispatchPtr owner;
    owner = &held;
    EXPECT_EQ(owner.assign_query(&answering), S_OK);
    EXPECT_EQ(owner.get(), &answering);
    EXPECT_EQ(held.references, 1);
    EXPECT_EQ(answering.references, 2);

    EXPECT_EQ(owner.assign_query(owner.get()), S_OK) << "querying the object it holds";
    EXPECT_EQ(answering.references, 2);

    EXPECT_EQ(owner.assign_query(&refusing), E_NOINTERFACE);
    EXPECT_FALSE(owner);
    EXPECT_EQ(answering.references, 1);

    owner = &held;
    EXPECT_EQ(owner.assign_query(&failing), E_OUTOFMEMORY);
    EXPECT_FALSE(owner);
    EXPECT_EQ(held.references, 1);

    owner = &held;
    EXPECT_EQ(owner.assign_query(nullptr), E_NOINTERFACE);
    EXPECT_FALSE(owner);
  }
  for (const FakeDispatch* fake : {&held, &answering, &refusing, &failing})
    EXPECT_EQ(fake->references, 1);
}

TEST(DispatchPtr, UseThroughAnEmptyOwnerRaisesEPointer) {
  const DispatchPtr empty;
  outlook::Variant index;
  outlook::make_variant(index, 1, VT_I4);
  const auto code = [](auto call) {
    try {
      call();
    } catch (const _com_error& error) {
      return error.Error();
    }
    return S_OK;
  };
  EXPECT_EQ(code([&] { outlook::folders_count(empty); }), E_POINTER);
  EXPECT_EQ(code([&] { outlook::items_item(empty, index.get()); }), E_POINTER);
  EXPECT_EQ(code([&] { outlook::folder_folders(empty); }), E_POINTER);
  EXPECT_EQ(code([&] { outlook::set_item_message_class(empty, AutomationString("x")); }),
            E_POINTER);
  EXPECT_EQ(code([&] { outlook::item_close(empty, 1); }), E_POINTER);
}

TEST(DispatchPtr, CreatingAnUnregisteredClassReturnsTheFailureWithoutRaising) {
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  const CLSID nowhere = {0x5c0ffee0, 0x1234, 0x4321, {1, 2, 3, 4, 5, 6, 7, 8}};
  DispatchPtr owner;
  EXPECT_EQ(owner.create_instance(nowhere, nullptr, 7), REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(owner);
  EXPECT_EQ(owner.create_instance(nowhere, nullptr, CLSCTX_INPROC_SERVER), REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(owner);
  CoUninitialize();
}

TEST(AutomationString, RoundTripsTextAndKeepsNullAsNull) {
  const AutomationString text("IPM.Task.Merivane");
  ASSERT_NE(text.bstr(), nullptr);
  EXPECT_EQ(SysStringLen(text.bstr()), 17u);
  EXPECT_STREQ(text.narrow(), "IPM.Task.Merivane");

  const AutomationString empty("");
  ASSERT_NE(empty.bstr(), nullptr);
  EXPECT_STREQ(empty.narrow(), "");

  const AutomationString none(static_cast<const char*>(nullptr));
  EXPECT_EQ(none.bstr(), nullptr);
  EXPECT_EQ(none.narrow(), nullptr);
  const AutomationString adopted_null = AutomationString::adopt(nullptr);
  EXPECT_EQ(adopted_null.narrow(), nullptr);
  const AutomationString no_record;
  EXPECT_EQ(no_record.bstr(), nullptr);
  EXPECT_EQ(no_record.narrow(), nullptr);
}

TEST(AutomationString, NarrowViewIsMadeOnceAndSharedByCopies) {
  const AutomationString text = AutomationString::adopt(SysAllocString(L"IPM.Task"));
  const char* first = text.narrow();
  EXPECT_EQ(text.narrow(), first);
  const AutomationString copy(text);
  EXPECT_EQ(copy.narrow(), first);
  AutomationString moved(std::move(const_cast<AutomationString&>(copy)));
  EXPECT_EQ(moved.narrow(), first);
  EXPECT_EQ(copy.bstr(), nullptr);
}

TEST(AutomationString, ANullClassReadFromTheServerGivesANullView) {
  FakeDispatch fake;
  fake.result.vt = VT_BSTR;
  fake.result.bstrVal = nullptr;
  DispatchPtr owner;
  owner = &fake;
  const AutomationString found = outlook::item_message_class(owner);
  EXPECT_EQ(found.narrow(), nullptr);
}

TEST(AutomationString, AWriteThatFailsRaisesAfterPassingItsValue) {
  FakeDispatch fake;
  fake.answer = E_FAIL;
  DispatchPtr owner;
  owner = &fake;
  EXPECT_THROW(outlook::set_item_message_class(owner, AutomationString("IPM.Task")), _com_error);
  EXPECT_EQ(fake.strings_passed, std::vector<std::string>{"IPM.Task"});
}

TEST(Variant, MadeFromANumberAndAType) {
  outlook::Variant v;
  outlook::make_variant(v, 12, VT_I4);
  EXPECT_EQ(v.get().vt, VT_I4);
  EXPECT_EQ(v.get().lVal, 12);
  outlook::make_variant(v, static_cast<LONG>(DISP_E_PARAMNOTFOUND), VT_ERROR);
  EXPECT_EQ(v.get().vt, VT_ERROR);
  EXPECT_EQ(v.get().scode, DISP_E_PARAMNOTFOUND);
  outlook::make_variant(v, 5, VT_BOOL);
  EXPECT_EQ(v.get().boolVal, VARIANT_TRUE);
  outlook::make_variant(v, 0, VT_BOOL);
  EXPECT_EQ(v.get().boolVal, VARIANT_FALSE);
  EXPECT_THROW(outlook::make_variant(v, 1, VT_BSTR), _com_error);
  v.clear();
  EXPECT_EQ(v.get().vt, VT_EMPTY);

  const VARIANT& missing = outlook::missing_argument();
  EXPECT_EQ(missing.vt, VT_ERROR);
  EXPECT_EQ(missing.scode, DISP_E_PARAMNOTFOUND);
}

TEST(Variant, AFailingClearRaisesItsCode) {
  outlook::Variant v;
  VARIANT* slot = v.put();
  slot->vt = 0x7FF;  // no type VariantClear knows
  try {
    v.clear();
    ADD_FAILURE() << "nothing raised";
  } catch (const _com_error& error) {
    EXPECT_EQ(error.Error(), DISP_E_BADVARTYPE);
  }
  v.put()->vt = VT_EMPTY;
}

TEST(ComError, CopiesShareTheErrorInformationByReference) {
  ICreateErrorInfo* creator = nullptr;
  ASSERT_EQ(CreateErrorInfo(&creator), S_OK);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
  creator->Release();
  info->AddRef();  // the test's own, to read the count
  {
    const _com_error error(E_FAIL, info);
    _com_error copy(error);
    _com_error assigned(S_OK);
    assigned = copy;
    assigned = assigned;
    EXPECT_EQ(assigned.Error(), E_FAIL);
    EXPECT_EQ(info->AddRef(), 5u);  // test, error, copy, assigned and this probe
    info->Release();
  }
  EXPECT_EQ(info->Release(), 0u);
}

}  // namespace
