// The call layer against a strict fake IDispatch: what reaches the server, and what comes back.

#include "outlook/dispatch_call.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "outlook/call_watch.h"
#include "outlook/com_error.h"
#include "outlook/members.h"
#include "outlook/variant.h"
#include "tests/outlook/fake_dispatch.h"

namespace {

using outlook::_com_error;
using outlook::AutomationString;
using outlook::DispatchPtr;
using outlook_test::FakeDispatch;

// A DispatchPtr holding its own reference to fake.
DispatchPtr hold(FakeDispatch& fake) {
  DispatchPtr owner;
  owner = &fake;
  return owner;
}

HRESULT raised_code(const std::function<void()>& call) {
  try {
    call();
  } catch (const _com_error& error) {
    return error.Error();
  }
  ADD_FAILURE() << "nothing was raised";
  return S_OK;
}

TEST(Accessors, EachReachesItsMemberByDispidKindAndArguments) {
  struct Row {
    const char* member;
    std::function<void(const DispatchPtr&)> call;
    DISPID dispid;
    WORD kind;
    VARTYPE answer;      // what the fake answers with
    unsigned arguments;  // positional arguments that reach the server
  };
  outlook::Variant index;
  outlook::make_variant(index, 4, VT_I4);
  const AutomationString mapi("MAPI");
  const Row rows[] = {
      {"GetNamespace", [&](auto& o) { outlook::get_namespace(o, mapi); }, 272, DISPATCH_METHOD,
       VT_DISPATCH, 1},
      {"NameSpace.Folders", [](auto& o) { outlook::namespace_folders(o); }, 8451,
       DISPATCH_PROPERTYGET, VT_DISPATCH, 0},
      {"Folders.Count", [](auto& o) { outlook::folders_count(o); }, 80, DISPATCH_PROPERTYGET, VT_I4,
       0},
      {"Folders.Item", [&](auto& o) { outlook::folders_item(o, index.get()); }, 81, DISPATCH_METHOD,
       VT_DISPATCH, 1},
      {"DefaultItemType", [](auto& o) { outlook::folder_default_item_type(o); }, 12550,
       DISPATCH_PROPERTYGET, VT_I4, 0},
      {"MAPIFolder.Folders", [](auto& o) { outlook::folder_folders(o); }, 8451,
       DISPATCH_PROPERTYGET, VT_DISPATCH, 0},
      {"Items", [](auto& o) { outlook::folder_items(o); }, 12544, DISPATCH_PROPERTYGET, VT_DISPATCH,
       0},
      {"EntryID", [](auto& o) { outlook::folder_entry_id(o); }, 61470, DISPATCH_PROPERTYGET,
       VT_BSTR, 0},
      {"StoreID", [](auto& o) { outlook::folder_store_id(o); }, 12552, DISPATCH_PROPERTYGET,
       VT_BSTR, 0},
      {"Items.Count", [](auto& o) { outlook::items_count(o); }, 80, DISPATCH_PROPERTYGET, VT_I4, 0},
      {"Items.Item", [&](auto& o) { outlook::items_item(o, index.get()); }, 81, DISPATCH_METHOD,
       VT_DISPATCH, 1},
      {"new item", [](auto& o) { outlook::items_new_item(o, outlook::missing_argument()); }, 200,
       DISPATCH_METHOD, VT_DISPATCH, 0},
      {"MessageClass read", [](auto& o) { outlook::item_message_class(o); }, 26,
       DISPATCH_PROPERTYGET, VT_BSTR, 0},
      {"MessageClass write",
       [](auto& o) { outlook::set_item_message_class(o, AutomationString("IPM.Task")); }, 26,
       DISPATCH_PROPERTYPUT, VT_EMPTY, 1},
      {"Save", [](auto& o) { outlook::item_save(o); }, 61512, DISPATCH_METHOD, VT_EMPTY, 0},
      {"FormDescription", [](auto& o) { outlook::item_form_description(o); }, 61589,
       DISPATCH_PROPERTYGET, VT_DISPATCH, 0},
      {"Close", [](auto& o) { outlook::item_close(o, outlook::discard_changes); }, 61475,
       DISPATCH_METHOD, VT_EMPTY, 1},
      {"FormDescription.MessageClass", [](auto& o) { outlook::form_message_class(o); }, 26,
       DISPATCH_PROPERTYGET, VT_BSTR, 0},
  };
  for (const Row& row : rows) {
    FakeDispatch fake;
    fake.result.vt = row.answer;
    if (row.answer == VT_I4) fake.result.lVal = 1;
    if (row.answer == VT_BSTR) fake.result.bstrVal = SysAllocString(L"00AB");
    {
      const DispatchPtr owner = hold(fake);
      row.call(owner);
    }
    ASSERT_EQ(fake.calls.size(), 1u) << row.member;
    const auto& call = fake.calls[0];
    EXPECT_EQ(call.dispid, row.dispid) << row.member;
    EXPECT_EQ(call.kind, row.kind) << row.member;
    EXPECT_EQ(call.arguments.size(), row.arguments) << row.member;
    EXPECT_EQ(call.result_wanted, row.answer != VT_EMPTY) << row.member;
    EXPECT_TRUE(call.iid_null) << row.member;
    EXPECT_EQ(call.locale, 0u) << row.member;
    EXPECT_TRUE(call.exception_given) << row.member;
    EXPECT_EQ(call.argument_error_preset, static_cast<UINT>(-1)) << row.member;
    EXPECT_EQ(fake.references, 1) << row.member << ": a reference was kept or lost";
  }
}

TEST(DispatchCall, ArgumentsReachTheServerAsTyped) {
  FakeDispatch fake;
  const DispatchPtr owner = hold(fake);
  outlook::Variant index;
  outlook::make_variant(index, 7, VT_I4);
  fake.result.vt = VT_DISPATCH;  // a null object: an empty owner comes back
  EXPECT_FALSE(outlook::items_item(owner, index.get()));
  outlook::get_namespace(owner, AutomationString("MAPI"));
  outlook::item_close(owner, 1);

  ASSERT_EQ(fake.calls.size(), 3u);
  EXPECT_EQ(fake.calls[0].arguments[0].vt, VT_I4);
  EXPECT_EQ(fake.calls[0].arguments[0].lVal, 7);
  EXPECT_EQ(fake.calls[0].named.size(), 0u);
  EXPECT_EQ(fake.strings_passed, std::vector<std::string>{"MAPI"});
  EXPECT_EQ(fake.calls[2].arguments[0].vt, VT_I4);
  EXPECT_EQ(fake.calls[2].arguments[0].lVal, 1);
}

TEST(DispatchCall, PropertyWriteCarriesOneArgumentNamedPropertyPut) {
  FakeDispatch fake;
  const DispatchPtr owner = hold(fake);
  outlook::set_item_message_class(owner, AutomationString("IPM.Task"));
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].named, std::vector<DISPID>{DISPID_PROPERTYPUT});
  ASSERT_EQ(fake.calls[0].arguments.size(), 1u);
  EXPECT_EQ(fake.calls[0].arguments[0].vt, VT_BSTR);
  EXPECT_EQ(fake.strings_passed, std::vector<std::string>{"IPM.Task"});
}

TEST(DispatchCall, ACallThatCannotBeMadeRaisesBeforeInvoke) {
  FakeDispatch fake;
  const AutomationString text("x");
  EXPECT_EQ(raised_code([&] {
              outlook::dispatch_call(&fake, 26, DISPATCH_PROPERTYPUT, VT_EMPTY, nullptr, nullptr,
                                     {});
            }),
            E_INVALIDARG)
      << "a property write needs its value";
  EXPECT_EQ(raised_code([&] {
              outlook::dispatch_call(&fake, 81, DISPATCH_METHOD, VT_EMPTY, nullptr,
                                     outlook::one_variant, {text});
            }),
            E_INVALIDARG)
      << "an argument of another type than listed";
  EXPECT_EQ(raised_code([&] {
              outlook::dispatch_call(&fake, 81, DISPATCH_METHOD, VT_EMPTY, nullptr, outlook::one_i4,
                                     {});
            }),
            E_INVALIDARG)
      << "fewer arguments than listed";
  EXPECT_EQ(raised_code([&] {
              outlook::dispatch_call(nullptr, 80, DISPATCH_PROPERTYGET, VT_EMPTY, nullptr, nullptr,
                                     {});
            }),
            E_POINTER);
  EXPECT_TRUE(fake.calls.empty());
}

TEST(DispatchCall, OnlyTrailingOmittedOptionalArgumentsAreDropped) {
  FakeDispatch fake;
  const VARTYPE mixed[] = {VT_VARIANT, outlook::optional_parameter | VT_VARIANT,
                           outlook::optional_parameter | VT_VARIANT, 0};
  const VARIANT& missing = outlook::missing_argument();
  outlook::dispatch_call(&fake, 1, DISPATCH_METHOD, VT_EMPTY, nullptr, mixed,
                         {missing, missing, missing});
  // The first is not optional: it stays, though it holds the same value.
  ASSERT_EQ(fake.calls[0].arguments.size(), 1u);
  EXPECT_EQ(fake.calls[0].arguments[0].scode, DISP_E_PARAMNOTFOUND);

  outlook::Variant given;
  outlook::make_variant(given, 9, VT_I4);
  outlook::dispatch_call(&fake, 1, DISPATCH_METHOD, VT_EMPTY, nullptr, mixed,
                         {missing, given.get(), missing});
  ASSERT_EQ(fake.calls[1].arguments.size(), 2u);
  EXPECT_EQ(fake.calls[1].arguments[0].lVal, 9) << "last argument first";
  EXPECT_EQ(fake.calls[1].arguments[1].vt, VT_ERROR);
}

// DISPPARAMS holds the last argument first: three distinct values show the order, and a given
// argument before two omitted ones is the only one passed.
TEST(DispatchCall, ArgumentsAreLaidOutLastFirst) {
  FakeDispatch fake;
  const VARTYPE three_numbers[] = {VT_I4, VT_I4, VT_I4, 0};
  outlook::dispatch_call(&fake, 1, DISPATCH_METHOD, VT_EMPTY, nullptr, three_numbers,
                         {LONG{1}, LONG{2}, LONG{3}});
  ASSERT_EQ(fake.calls[0].arguments.size(), 3u);
  EXPECT_EQ(fake.calls[0].arguments[0].lVal, 3);
  EXPECT_EQ(fake.calls[0].arguments[1].lVal, 2);
  EXPECT_EQ(fake.calls[0].arguments[2].lVal, 1);

  const VARTYPE optional[] = {outlook::optional_parameter | VT_VARIANT,
                              outlook::optional_parameter | VT_VARIANT,
                              outlook::optional_parameter | VT_VARIANT, 0};
  const VARIANT& missing = outlook::missing_argument();
  outlook::Variant given;
  outlook::make_variant(given, 9, VT_I4);
  outlook::dispatch_call(&fake, 1, DISPATCH_METHOD, VT_EMPTY, nullptr, optional,
                         {given.get(), missing, missing});
  ASSERT_EQ(fake.calls[1].arguments.size(), 1u);
  EXPECT_EQ(fake.calls[1].arguments[0].vt, VT_I4);
  EXPECT_EQ(fake.calls[1].arguments[0].lVal, 9);
}

TEST(DispatchCall, ResultsOfAnotherTypeAreConvertedOrRaiseTheConversionsCode) {
  FakeDispatch fake;
  const DispatchPtr owner = hold(fake);
  fake.result.vt = VT_I2;
  fake.result.iVal = 7;
  EXPECT_EQ(outlook::items_count(owner), 7);

  VariantClear(&fake.result);
  fake.result.vt = VT_BSTR;
  fake.result.bstrVal = SysAllocString(L"7");
  EXPECT_EQ(outlook::folders_count(owner), 7);

  VariantClear(&fake.result);
  fake.result.vt = VT_BSTR;
  fake.result.bstrVal = SysAllocString(L"seven");
  VARIANT probe;
  VariantInit(&probe);
  const HRESULT expected = VariantChangeType(&probe, &fake.result, 0, VT_I4);
  ASSERT_TRUE(FAILED(expected));
  EXPECT_EQ(raised_code([&] { outlook::items_count(owner); }), expected);

  VariantClear(&fake.result);  // VT_EMPTY where an object is wanted
  EXPECT_EQ(raised_code([&] { outlook::folder_items(owner); }), DISP_E_TYPEMISMATCH);
}

TEST(DispatchCall, ServerExceptionsRaiseTheirCodeWithErrorInformation) {
  struct Case {
    WORD wcode;
    SCODE scode;
    HRESULT expected;
  };
  for (const Case c : {Case{5, 0, static_cast<HRESULT>(0x80040205)},
                       Case{0xFDFF, 0, static_cast<HRESULT>(0x8004FFFF)},
                       Case{0xFE00, 0, static_cast<HRESULT>(0x8004FFFF)},
                       Case{0xFFFF, E_FAIL, static_cast<HRESULT>(0x8004FFFF)},
                       Case{0, static_cast<SCODE>(0x80030001), static_cast<HRESULT>(0x80030001)}}) {
    FakeDispatch fake;
    const DispatchPtr owner = hold(fake);
    fake.answer = DISP_E_EXCEPTION;
    fake.fill_exception = [c](EXCEPINFO& exception) {
      exception.wCode = c.wcode;
      exception.scode = c.scode;
      exception.bstrSource = SysAllocString(L"Outlook");
      exception.bstrDescription = SysAllocString(L"The item is locked.");
      exception.dwHelpContext = 42;
    };
    try {
      outlook::item_save(owner);
      ADD_FAILURE() << "nothing raised for wCode " << c.wcode;
    } catch (const _com_error& error) {
      EXPECT_EQ(error.Error(), c.expected) << "wCode " << c.wcode;
      ASSERT_NE(error.ErrorInfo(), nullptr);
      BSTR source = nullptr, description = nullptr;
      GUID guid{};
      DWORD context = 0;
      error.ErrorInfo()->GetSource(&source);
      error.ErrorInfo()->GetDescription(&description);
      error.ErrorInfo()->GetGUID(&guid);
      error.ErrorInfo()->GetHelpContext(&context);
      EXPECT_EQ(outlook_test::narrow(source), "Outlook");
      EXPECT_EQ(outlook_test::narrow(description), "The item is locked.");
      EXPECT_TRUE(guid == IID_IDispatch);
      EXPECT_EQ(context, 42u);
      SysFreeString(source);
      SysFreeString(description);
    }
  }
}

HRESULT STDMETHODCALLTYPE fill_in_later(EXCEPINFO* exception) {
  exception->wCode = 0;
  exception->scode = STG_E_ACCESSDENIED;
  exception->bstrDescription = SysAllocString(L"filled in later");
  return S_OK;
}

TEST(DispatchCall, DeferredExceptionIsFilledInBeforeItsCodeIsRead) {
  FakeDispatch fake;
  fake.answer = DISP_E_EXCEPTION;
  fake.fill_exception = [](EXCEPINFO& exception) { exception.pfnDeferredFillIn = fill_in_later; };
  const DispatchPtr owner = hold(fake);
  try {
    outlook::item_save(owner);
    ADD_FAILURE();
  } catch (const _com_error& error) {
    EXPECT_EQ(error.Error(), STG_E_ACCESSDENIED);
    BSTR description = nullptr;
    ASSERT_NE(error.ErrorInfo(), nullptr);
    error.ErrorInfo()->GetDescription(&description);
    EXPECT_EQ(outlook_test::narrow(description), "filled in later");
    SysFreeString(description);
  }
}

TEST(DispatchCall, PlainFailuresRaiseTheirCodeWithoutErrorInformation) {
  FakeDispatch fake;
  fake.answer = DISP_E_MEMBERNOTFOUND;
  const DispatchPtr owner = hold(fake);
  try {
    outlook::folder_default_item_type(owner);
    ADD_FAILURE();
  } catch (const _com_error& error) {
    EXPECT_EQ(error.Error(), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(error.ErrorInfo(), nullptr);
  }
}

TEST(DispatchCall, ObjectResultsAreAdoptedWithoutAnExtraReference) {
  FakeDispatch child;
  {
    FakeDispatch parent;
    parent.result.vt = VT_DISPATCH;
    parent.result.pdispVal = &child;
    child.AddRef();  // the parent's prepared answer holds one
    {
      const DispatchPtr owner = hold(parent);
      const DispatchPtr items = outlook::folder_items(owner);
      EXPECT_EQ(items.get(), &child);
      EXPECT_EQ(child.references, 3);  // the test's, the prepared answer's, the owner's
    }
    EXPECT_EQ(child.references, 2);
  }
  EXPECT_EQ(child.references, 1);
}

TEST(DispatchCall, AFailedCallLeavesNoReferenceBehind) {
  FakeDispatch child;
  {
    FakeDispatch parent;
    parent.result.vt = VT_DISPATCH;
    parent.result.pdispVal = &child;
    child.AddRef();
    parent.answer = E_FAIL;
    const DispatchPtr owner = hold(parent);
    EXPECT_EQ(raised_code([&] { outlook::folder_items(owner); }), E_FAIL);
    EXPECT_EQ(child.references, 2);
  }
  EXPECT_EQ(child.references, 1);
}

// ---- Outlook turning calls away ----------------------------------------------------------

DWORD fake_now = 0;
std::vector<DWORD> pauses;
const outlook::CallClock fake_clock{[] { return fake_now; },
                                    [](DWORD milliseconds) {
                                      pauses.push_back(milliseconds);
                                      fake_now += milliseconds;
                                    }};
constexpr outlook::CallLimits three_seconds{3000, 120000};
constexpr HRESULT rejected = RPC_E_CALL_REJECTED, later = RPC_E_SERVERCALL_RETRYLATER;
constexpr HRESULT exec_failure = CO_E_SERVER_EXEC_FAILURE;

// Only the answers that mean "not now" are asked again, after pauses that grow to 1 s, until
// the limit has passed since the first rejection; the last answer then stands, and one that
// still turns the call away gives the step up.
TEST(TurnedAwayCalls, AreAskedAgainUntilTakenOrTheLimitHasPassed) {
  struct Row {
    bool bind;                     // GetIDsOfNames rather than Invoke
    std::vector<HRESULT> answers;  // one by one, then always
    HRESULT always;
    std::vector<DWORD> pauses;
  };
  const Row rows[] = {
      {false, {rejected, later, rejected}, S_OK, {50, 100, 200}},
      {false, {}, rejected, {50, 100, 200, 400, 800, 1000, 450}},
      {false, {}, E_FAIL, {}},
      {false, {}, RPC_E_SERVERFAULT, {}},
      {false, {}, exec_failure, {}},  // asked again of the making only
      {false, {later, rejected}, RPC_E_SERVERFAULT, {50, 100}},
      {true, {later}, S_OK, {50}},
      {true, {}, later, {50, 100, 200, 400, 800, 1000, 450}},
  };
  for (const Row& row : rows) {
    const unsigned at = unsigned(&row - rows);
    pauses.clear();
    FakeDispatch fake;
    fake.names_bound = row.bind;
    fake.answers_first = row.answers;
    fake.answer = row.always;
    fake.result.vt = VT_I4;
    outlook::CallWatch watch(three_seconds, fake_clock);
    {
      const outlook::WatchedCalls watched(watch);
      const DispatchPtr owner = hold(fake);
      DISPID id = 0;
      if (row.bind)
        EXPECT_EQ(outlook::bind_name(owner.get(), L"PropertyAccessor", id), row.always) << at;
      else if (row.always != S_OK)
        EXPECT_EQ(raised_code([&] { outlook::items_count(owner); }), row.always) << at;
      else
        outlook::items_count(owner);
    }
    EXPECT_EQ(pauses, row.pauses) << at;
    EXPECT_EQ(fake.calls.size(), row.pauses.size() + 1) << at;
    EXPECT_EQ(watch.turned_away(), long(row.pauses.size() + outlook::is_turned_away(row.always)))
        << at;
    EXPECT_EQ(watch.paused_ms(), std::accumulate(row.pauses.begin(), row.pauses.end(), 0ul)) << at;
    EXPECT_EQ(fake.references, 1) << at;
    EXPECT_EQ(watch.given_up(), outlook::is_turned_away(row.always)) << at;
    if (watch.given_up()) {
      const outlook::GivenUp given_up = watch.given_up_as();
      EXPECT_EQ(given_up.why, outlook::GiveUp::busy) << at;
      EXPECT_EQ(given_up.waited_ms, 3000u) << at;
      EXPECT_EQ(given_up.call.sort, row.bind ? outlook::CallSort::bind : outlook::CallSort::invoke);
      EXPECT_EQ(WaitForSingleObject(watch.given_up_event(), 0), WAIT_OBJECT_0) << at;
    }
  }
}

// The unanswered limit runs from the start of the call outstanding (or of the last one), never
// from the step's, and not while the user is asked something: then it starts again from the
// answer. A step given up asks Outlook nothing more and the user nothing at all.
TEST(TurnedAwayCalls, TheLimitsRunFromTheLastCallOrAnswerAndAStepGivenUpAsksNothing) {
  constexpr outlook::CallLimits limits{3000, 5000};
  fake_now = 0;
  outlook::CallWatch watch(limits, fake_clock);
  for (int call = 0; call < 10; ++call) {
    fake_now += 2000;
    EXPECT_TRUE(watch.enter({outlook::CallSort::invoke, 1, DISPATCH_METHOD}));
    watch.leave();
  }
  fake_now += 1000;
  EXPECT_EQ(watch.time_left(), 4000u) << "measured from the step's start";
  ASSERT_TRUE(watch.suspend());
  fake_now += 600000;  // the user took ten minutes
  EXPECT_EQ(watch.time_left(), 5000u);
  EXPECT_FALSE(watch.give_up(outlook::GiveUp::unanswered, {}, 0)) << "given up while asking";
  watch.resume();
  EXPECT_EQ(watch.time_left(), 5000u) << "the limit did not start again from the answer";
  fake_now += 5000;
  EXPECT_EQ(watch.time_left(), 0u);
  EXPECT_TRUE(watch.give_up(outlook::GiveUp::unanswered, {}, 5000));
  EXPECT_FALSE(watch.give_up(outlook::GiveUp::busy, {}, 0)) << "given up twice";
  EXPECT_FALSE(watch.suspend()) << "a step given up may still ask the user";

  FakeDispatch fake;
  const outlook::WatchedCalls watched(watch);
  EXPECT_EQ(raised_code([&] { outlook::items_count(hold(fake)); }), E_ABORT);
  EXPECT_TRUE(fake.calls.empty());
}

// Registered in this apartment, so that COM's making of its class reaches it first; as an
// in-process class, since the 32-bit Wine under qemu never answers a making of a local server
// registered by the caller itself.
class ScriptedFactory final : public IClassFactory {
 public:
  std::vector<HRESULT> answers;  // one a making, then S_OK
  FakeDispatch made;
  unsigned makings = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == IID_IClassFactory ? this : nullptr;
    return *out != nullptr ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override {
    const HRESULT answer = makings < answers.size() ? answers[makings] : S_OK;
    ++makings;
    return SUCCEEDED(answer) ? made.QueryInterface(iid, out) : answer;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

bool outlook_window = false;

// The making is asked again as a call is, and also while the server fails to start, unless
// the server runs where it cannot be bound to: then that failure stands at once.
TEST(TurnedAwayCalls, TheMakingIsAskedAgainWhileTheServerCannotStartYet) {
  constexpr CLSID scripted = {0x4d455256, 0x0019, 0x0001, {0x80, 0, 0, 0, 0, 0, 0, 0x19}};
  struct Row {
    std::vector<HRESULT> answers;
    bool window;
    HRESULT outcome;
    unsigned makings;
  };
  const Row rows[] = {
      {{rejected, exec_failure, later}, false, S_OK, 4},
      {{exec_failure}, true, exec_failure, 1},
      {std::vector<HRESULT>(20, exec_failure), false, exec_failure, 8},
  };
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  for (const Row& row : rows) {
    ScriptedFactory factory;
    factory.answers = row.answers;
    outlook_window = row.window;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(scripted, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie),
              S_OK);
    outlook::CallWatch watch(three_seconds, fake_clock);
    {
      const outlook::WatchedCalls watched(watch);
      DispatchPtr application;
      EXPECT_EQ(application.create_instance(scripted, nullptr, 7, [] { return outlook_window; }),
                row.outcome);
      EXPECT_EQ(bool(application), row.outcome == S_OK);
    }
    CoRevokeClassObject(cookie);
    EXPECT_EQ(factory.makings, row.makings);
    EXPECT_EQ(factory.made.references, 1) << "the object made was not given back";
  }
  CoUninitialize();
}

}  // namespace
