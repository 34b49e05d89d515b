#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <map>
#include <new>
#include <optional>
#include <vector>

#include "testbed/outlook/server.h"

namespace testbed {

ServerCounts server_counts;
bool serving_out_of_process = false;
void (*last_object_gone)() = nullptr;
HANDLE client_process = nullptr;

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
std::unique_ptr<std::FILE, FileCloser> log_file;
std::string log_path;

std::string utf8_text(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string narrow(std::size_t(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text, length, narrow.data(), size, nullptr, nullptr);
  }
  return narrow;
}

std::string escaped(std::string_view text) {
  std::string result = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') result += '\\';
    result += c;
  }
  return result + "\"";
}

std::string argument_text(const VARIANT& argument);

// A list with its elements, such as VARIANT[BSTR:"a",I4:2].
std::string list_text(const VARIANT& list) {
  const std::optional<ULONG> length = list_length(list);
  if (!length) return "VT" + std::to_string(list.vt);
  std::string text = (list.vt & VT_TYPEMASK) == VT_BSTR ? "BSTR[" : "VARIANT[";
  for (ULONG at = 0; at < *length; ++at) {
    if (at != 0) text += ',';
    text += argument_text(list_element(list, at));
  }
  return text + "]";
}

std::string argument_text(const VARIANT& argument) {
  if (is_list_type(argument.vt)) return list_text(argument);
  switch (argument.vt) {
    case VT_I4:
      return "I4:" + std::to_string(argument.lVal);
    case VT_I2:
      return "I2:" + std::to_string(argument.iVal);
    case VT_BSTR:
      if (argument.bstrVal == nullptr) return "BSTR:null";
      return "BSTR:" + escaped(utf8_text(argument.bstrVal, int(SysStringLen(argument.bstrVal))));
    case VT_ERROR:
      return "ERROR:" + hresult_text(argument.scode);
    default:
      return "VT" + std::to_string(argument.vt);
  }
}

std::string kind_text(WORD flags) {
  switch (flags) {
    case DISPATCH_METHOD:
      return "method";
    case DISPATCH_PROPERTYGET:
      return "get";
    case DISPATCH_PROPERTYPUT:
      return "put";
    default:
      return std::to_string(flags);
  }
}

// Arguments as they were declared: the platform lays them out last first.
std::string parameters_text(const DISPPARAMS* parameters) {
  if (parameters == nullptr) return "args=null";
  std::string text = "args=";
  if (parameters->rgvarg != nullptr) {
    for (UINT at = parameters->cArgs; at > 0; --at) {
      if (at != parameters->cArgs) text += ',';
      text += argument_text(parameters->rgvarg[at - 1]);
    }
  }
  if (parameters->cNamedArgs != 0 && parameters->rgdispidNamedArgs != nullptr) {
    text += " named=";
    for (UINT at = 0; at < parameters->cNamedArgs; ++at) {
      if (at != 0) text += ',';
      text += std::to_string(parameters->rgdispidNamedArgs[at]);
    }
  }
  return text;
}

bool is_kind(WORD flags, unsigned kind) { return (flags & kind) != 0; }

// Exceptions whose details the caller has not asked for yet, by the token the EXCEPINFO carries.
std::map<ULONG_PTR, FailRule> deferred_exceptions;
ULONG_PTR last_deferred_token = 0;

BSTR new_bstr(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  BSTR result = SysAllocStringLen(nullptr, UINT(length > 0 ? length : 0));
  if (result != nullptr && length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), result, length);
  }
  return result;
}

void fill_exception(const FailRule& rule, EXCEPINFO& exception) {
  exception.wCode = rule.wcode;
  exception.scode = rule.scode;
  if (!rule.source.empty()) exception.bstrSource = new_bstr(rule.source);
  if (!rule.description.empty()) exception.bstrDescription = new_bstr(rule.description);
}

HRESULT STDAPICALLTYPE fill_deferred_exception(EXCEPINFO* exception) {
  if (exception == nullptr) return E_POINTER;
  const auto found = deferred_exceptions.find(reinterpret_cast<ULONG_PTR>(exception->pvReserved));
  if (found == deferred_exceptions.end()) return E_UNEXPECTED;
  fill_exception(found->second, *exception);
  deferred_exceptions.erase(found);
  exception->pvReserved = nullptr;
  exception->pfnDeferredFillIn = nullptr;
  return S_OK;
}

HRESULT raise(const FailRule& rule, EXCEPINFO* exception) {
  if (!rule.exception) return rule.hresult;
  if (exception != nullptr) {
    *exception = EXCEPINFO{};
    if (rule.deferred) {
      deferred_exceptions.emplace(++last_deferred_token, rule);
      exception->pvReserved = reinterpret_cast<void*>(last_deferred_token);
      exception->pfnDeferredFillIn = fill_deferred_exception;
    } else {
      fill_exception(rule, *exception);
    }
  }
  return DISP_E_EXCEPTION;
}

bool is_omitted(const VARIANT& argument) {
  return argument.vt == VT_ERROR && argument.scode == DISP_E_PARAMNOTFOUND;
}

HRESULT check_arguments(const Member& member, const DISPPARAMS& parameters, UINT* argument_error) {
  const auto mismatch = [argument_error](UINT position) {
    if (argument_error != nullptr) *argument_error = position;
    return DISP_E_TYPEMISMATCH;
  };
  if (member.arguments == Arguments::put_text) {
    if (parameters.cNamedArgs != 1 || parameters.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
      return DISP_E_PARAMNOTFOUND;
    }
    if (parameters.cArgs != 1) return DISP_E_BADPARAMCOUNT;
    return parameters.rgvarg[0].vt == VT_BSTR ? S_OK : mismatch(0);
  }
  if (parameters.cNamedArgs != 0) {
    if (argument_error != nullptr) *argument_error = 0;
    return DISP_E_PARAMNOTFOUND;
  }
  switch (member.arguments) {
    case Arguments::none:
      return parameters.cArgs == 0 ? S_OK : DISP_E_BADPARAMCOUNT;
    case Arguments::text:
    case Arguments::number: {
      if (parameters.cArgs != 1) return DISP_E_BADPARAMCOUNT;
      const VARTYPE wanted = member.arguments == Arguments::text ? VT_BSTR : VT_I4;
      return parameters.rgvarg[0].vt == wanted ? S_OK : mismatch(0);
    }
    case Arguments::optional_class: {
      if (parameters.cArgs > 1) return DISP_E_BADPARAMCOUNT;
      if (parameters.cArgs == 0) return S_OK;
      const VARIANT& given = parameters.rgvarg[0];
      return is_omitted(given) || given.vt == VT_BSTR ? S_OK : mismatch(0);
    }
    case Arguments::property_lists: {
      if (parameters.cArgs != 2) return DISP_E_BADPARAMCOUNT;
      for (const UINT position : {1u, 0u}) {
        if (!is_list_type(parameters.rgvarg[position].vt)) return mismatch(position);
      }
      const std::optional<ULONG> names = list_length(parameters.rgvarg[1]);
      const std::optional<ULONG> values = list_length(parameters.rgvarg[0]);
      return names && values && *names == *values && *names != 0 ? S_OK : E_INVALIDARG;
    }
    case Arguments::table_arguments:
    case Arguments::text_optional_text: {
      const bool table = member.arguments == Arguments::table_arguments;
      if (parameters.cArgs > 2 || (!table && parameters.cArgs == 0)) return DISP_E_BADPARAMCOUNT;
      // Declared first, laid out last.
      for (UINT declared = 0; declared < parameters.cArgs; ++declared) {
        const UINT position = parameters.cArgs - 1 - declared;
        const VARIANT& given = parameters.rgvarg[position];
        const VARTYPE wanted = table && declared == 1 ? VT_I4 : VT_BSTR;
        const bool may_be_omitted = table || declared == 1;
        if (given.vt != wanted && !(may_be_omitted && is_omitted(given))) return mismatch(position);
      }
      return S_OK;
    }
    case Arguments::index: {
      if (parameters.cArgs != 1) return DISP_E_BADPARAMCOUNT;
      const VARTYPE given = parameters.rgvarg[0].vt;
      return given == VT_I4 || given == VT_BSTR ? S_OK : mismatch(0);
    }
    case Arguments::binary:
      if (parameters.cArgs != 1) return DISP_E_BADPARAMCOUNT;
      return parameters.rgvarg[0].vt == (VT_ARRAY | VT_UI1) ? S_OK : mismatch(0);
    case Arguments::put_text:
      break;
  }
  return E_UNEXPECTED;
}

}  // namespace

bool is_list_type(VARTYPE type) {
  return type == (VT_ARRAY | VT_VARIANT) || type == (VT_ARRAY | VT_BSTR);
}

std::optional<ULONG> list_length(const VARIANT& list) {
  if (!is_list_type(list.vt)) return std::nullopt;
  const SAFEARRAY* array = list.parray;
  const ULONG element_size = (list.vt & VT_TYPEMASK) == VT_BSTR ? sizeof(BSTR) : sizeof(VARIANT);
  if (array == nullptr || array->cDims != 1 || array->cbElements != element_size) {
    return std::nullopt;
  }
  if (array->rgsabound[0].cElements != 0 && array->pvData == nullptr) return std::nullopt;
  return array->rgsabound[0].cElements;
}

VARIANT list_element(const VARIANT& list, ULONG at) {
  if ((list.vt & VT_TYPEMASK) == VT_VARIANT)
    return static_cast<const VARIANT*>(list.parray->pvData)[at];
  VARIANT element;
  VariantInit(&element);
  element.vt = VT_BSTR;
  element.bstrVal = static_cast<const BSTR*>(list.parray->pvData)[at];
  return element;
}

std::string environment_text(const char* name) {
  std::string value(MAX_PATH, '\0');
  while (true) {
    const DWORD length = GetEnvironmentVariableA(name, value.data(), DWORD(value.size()));
    if (length == 0) return {};
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    if (value.size() >= 32768) return {};  // longer than any environment value can be
    value.assign(length, '\0');
  }
}

void log_line(const std::string& text) {
  const std::string path = environment_text("MERIVANE_STANDIN_LOG");
  if (path.empty()) return;
  // The tests of one process point the log at a new file now and then.
  if (path != log_path) {
    close_log();
    log_file.reset(std::fopen(path.c_str(), "ab"));
    if (log_file == nullptr) return;
    log_path = path;
  }
  const std::string line = "outlook " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), log_file.get());
  // The MAPI stand-in appends to the same file through its own stream.
  std::fflush(log_file.get());
}

void write_summary() {
  try {
    log_line("summary calls=" + std::to_string(server_counts.calls) +
             " objects=" + std::to_string(server_counts.objects) +
             " references=" + std::to_string(server_counts.references) +
             " most_objects=" + std::to_string(server_counts.most_automation));
  } catch (const std::bad_alloc&) {
  }
  close_log();
}

void close_log() {
  log_file.reset();
  log_path.clear();
}

std::string hresult_text(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
  return text;
}

std::string interface_name(REFIID iid) {
  if (iid == IID_IUnknown) return "IUnknown";
  if (iid == IID_IDispatch) return "IDispatch";
  if (iid == IID_IRunnableObject) return "IRunnableObject";
  if (iid == IID_IMarshal) return "IMarshal";
  if (iid == IID_IClassFactory) return "IClassFactory";
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(iid.Data1), iid.Data2, iid.Data3, iid.Data4[0],
                iid.Data4[1], iid.Data4[2], iid.Data4[3], iid.Data4[4], iid.Data4[5], iid.Data4[6],
                iid.Data4[7]);
  return text;
}

ReferenceCount::ReferenceCount() {
  InterlockedIncrement(&server_counts.objects);
  InterlockedIncrement(&server_counts.references);
}

ReferenceCount::~ReferenceCount() { InterlockedDecrement(&server_counts.objects); }

ULONG ReferenceCount::add() {
  InterlockedIncrement(&server_counts.references);
  return ULONG(InterlockedIncrement(&references_));
}

ULONG ReferenceCount::release() {
  InterlockedDecrement(&server_counts.references);
  return ULONG(InterlockedDecrement(&references_));
}

DispatchObject::DispatchObject(std::string name, std::shared_ptr<Profile> profile)
    : name_(std::move(name)), profile_(std::move(profile)) {
  const LONG alive = InterlockedIncrement(&server_counts.automation);
  for (LONG most = server_counts.most_automation; alive > most;
       most = server_counts.most_automation) {
    if (InterlockedCompareExchange(&server_counts.most_automation, alive, most) == most) break;
  }
}

DispatchObject::~DispatchObject() {
  if (InterlockedDecrement(&server_counts.automation) == 0 && last_object_gone != nullptr)
    last_object_gone();
}

namespace {

ULONGLONG busy_until = 0;
long busy_every = 0;
long calls_arrived = 0;

}  // namespace

void start_busy_period(const ServerBehaviour& behaviour) {
  busy_until = behaviour.busy_for_ms > 0 ? GetTickCount64() + ULONGLONG(behaviour.busy_for_ms) : 0;
  busy_every = behaviour.busy_every;
  calls_arrived = 0;
}

bool turning_call_away() {
  ++calls_arrived;
  if (busy_until != 0 && GetTickCount64() < busy_until) return true;
  return busy_every > 0 && calls_arrived % busy_every == 0;
}

namespace {

// In process the call is turned away by its answer, which is what a caller of a busy local
// server gets back from COM.
HRESULT turned_away_in_process(const std::string& object, const char* what) {
  if (serving_out_of_process || !turning_call_away()) return S_OK;
  try {
    log_line("reject " + object + " " + what);
  } catch (const std::bad_alloc&) {
  }
  return RPC_E_CALL_REJECTED;
}

}  // namespace

[[noreturn]] void hang_for_good() {
  if (serving_out_of_process) {
    // Bounded all the same, well past any caller's patience: a server left behind would hold
    // the test runner's output open, which its children inherit under Wine.
    if (client_process == nullptr || WaitForSingleObject(client_process, 200000) != WAIT_OBJECT_0)
      log_line("server end: a call still unanswered after 200 s");
    else
      log_line("server end: its client is gone, a call still unanswered");
    close_log();
    TerminateProcess(GetCurrentProcess(), 3);
  }
  for (;;) Sleep(INFINITE);
}

ULONG STDMETHODCALLTYPE DispatchObject::Release() {
  const ULONG left = references_.release();
  if (left == 0) delete this;
  return left;
}

void* DispatchObject::interface_for(REFIID iid) {
  if (iid == IID_IUnknown || iid == IID_IDispatch) return static_cast<IDispatch*>(this);
  return nullptr;
}

HRESULT DispatchObject::query(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = interface_for(iid);
  if (*out == nullptr) return E_NOINTERFACE;
  references_.add();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE DispatchObject::QueryInterface(REFIID iid, void** out) {
  HRESULT result = E_UNEXPECTED;
  try {
    std::optional<FailRule> rule;
    if (iid == IID_IDispatch) rule = profile_->take_rule(0, name_, "QueryInterface", 0);
    if (rule && out != nullptr) *out = nullptr;
    result = rule ? rule->hresult : query(iid, out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  try {
    log_line("query " + name_ + " " + interface_name(iid) + " -> " + hresult_text(result));
  } catch (const std::bad_alloc&) {
  }
  return result;
}

HRESULT STDMETHODCALLTYPE DispatchObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE DispatchObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT STDMETHODCALLTYPE DispatchObject::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count,
                                                        LCID, DISPID* ids) {
  if (count != 0 && (names == nullptr || ids == nullptr)) return E_INVALIDARG;
  for (UINT at = 0; at < count; ++at) ids[at] = DISPID_UNKNOWN;
  if (const HRESULT away = turned_away_in_process(name_, "GetIDsOfNames"); away != S_OK)
    return away;
  HRESULT outcome = iid == IID_NULL ? DISP_E_UNKNOWNNAME : DISP_E_UNKNOWNINTERFACE;
  try {
    std::vector<std::string> texts;
    for (UINT at = 0; at < count; ++at) {
      texts.push_back(names[at] == nullptr ? "null" : utf8_text(names[at], lstrlenW(names[at])));
    }
    // Further names would be those of the member's parameters, which no member here takes.
    if (iid == IID_NULL && count == 1 && names[0] != nullptr) {
      if (const Member* member = bound_member(texts[0])) {
        ids[0] = member->id;
        outcome = S_OK;
      }
    }
    for (const std::string& text : texts) {
      log_line("names " + name_ + " " + text + " -> " + hresult_text(outcome));
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return outcome;
}

const Member* DispatchObject::bound_member(const std::string& name) const {
  if (profile_->is_absent(name)) return nullptr;
  for (const char* bound : names_bound()) {
    if (!same_member_name(bound, name)) continue;
    for (const Member& member : members()) {
      if (std::string_view(member.name) == bound) return &member;
    }
  }
  return nullptr;
}

HRESULT STDMETHODCALLTYPE DispatchObject::Invoke(DISPID id, REFIID iid, LCID, WORD flags,
                                                 DISPPARAMS* parameters, VARIANT* result,
                                                 EXCEPINFO* exception, UINT* argument_error) {
  if (const HRESULT away = turned_away_in_process(name_, "Invoke"); away != S_OK) return away;
  const long call = InterlockedIncrement(&server_counts.calls);
  HRESULT outcome = E_UNEXPECTED;
  try {
    outcome = dispatch(call, id, iid, flags, parameters, result, exception, argument_error);
  } catch (const std::bad_alloc&) {
    outcome = E_OUTOFMEMORY;
  }
  try {
    log_line("call " + std::to_string(call) + " " + name_ + " " + member_text(id) + " " +
             kind_text(flags) + " " + parameters_text(parameters) + " -> " + hresult_text(outcome));
  } catch (const std::bad_alloc&) {
  }
  if (call == profile_->end_after_call()) {
    log_line("end after call " + std::to_string(call));
    TerminateProcess(GetCurrentProcess(), Profile::end_exit_code);
  }
  return outcome;
}

HRESULT DispatchObject::dispatch(long call, DISPID id, REFIID iid, WORD flags,
                                 DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                 UINT* argument_error) {
  if (parameters == nullptr || (parameters->cArgs != 0 && parameters->rgvarg == nullptr) ||
      (parameters->cNamedArgs != 0 && parameters->rgdispidNamedArgs == nullptr) ||
      parameters->cNamedArgs > parameters->cArgs) {
    return E_INVALIDARG;
  }
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  const Member* member = resolve(id, flags);
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
  const HRESULT checked = check_arguments(*member, *parameters, argument_error);
  if (FAILED(checked)) return checked;

  if (const auto hang = profile_->take_hang(call, name_, member->name, member->kind)) {
    log_line("hang call " + std::to_string(call) + " " + name_ + " " + member->name);
    if (hang->late_ms == 0) hang_for_good();
    // A call that comes back late, after its caller may have given it up.
    Sleep(DWORD(hang->late_ms));
    log_line("hang over call " + std::to_string(call));
  }
  // Rules act on calls that are well made, as a server's failure would: after the checks.
  refused_property_ = 0;
  const bool can_refuse = member->arguments == Arguments::property_lists;
  if (const auto rule = profile_->take_rule(call, name_, member->name, member->kind, can_refuse)) {
    if (rule->refuse == 0) return raise(*rule, exception);
    refused_property_ = rule->refuse;
  }
  VARIANT made;
  VariantInit(&made);
  HRESULT outcome = E_UNEXPECTED;
  try {
    outcome = perform(*member, *parameters, result != nullptr ? &made : nullptr);
  } catch (const ProfileError& error) {
    log_line(std::string("error ") + error.what());
    outcome = E_FAIL;
  } catch (const std::bad_alloc&) {
    outcome = E_OUTOFMEMORY;
  }
  if (SUCCEEDED(outcome) && result != nullptr && made.vt != VT_EMPTY) {
    *result = made;
  } else {
    VariantClear(&made);
  }
  return outcome;
}

const Member* DispatchObject::resolve(DISPID id, WORD flags) const {
  // A put is a put whatever else is set; no member here is written by reference.
  if (is_kind(flags, DISPATCH_PROPERTYPUTREF)) return nullptr;
  const auto find = [this, id](unsigned kind) -> const Member* {
    for (const Member& member : members()) {
      if (member.id == id && member.kind == kind) return &member;
    }
    return nullptr;
  };
  if (is_kind(flags, DISPATCH_PROPERTYPUT)) return find(kind_put);
  const Member* member = is_kind(flags, DISPATCH_METHOD) ? find(kind_method) : nullptr;
  if (member == nullptr && is_kind(flags, DISPATCH_PROPERTYGET)) member = find(kind_get);
  return member;
}

std::string DispatchObject::member_text(DISPID id) const {
  for (const Member& member : members()) {
    if (member.id == id) return member.name;
  }
  return std::to_string(id);
}

}  // namespace testbed
