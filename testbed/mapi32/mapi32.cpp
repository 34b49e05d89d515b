// MAPI32.DLL stand-in.
//
// Extended MAPI over the profile fixture that the Outlook stand-in serves (MERIVANE_PROFILE):
// stores are opened by the binary form of a store root's hexadecimal StoreID, folders by the
// binary form of their EntryID, and SetProps of the two default-form properties changes the
// folder's default form in the fixture, where Outlook's stand-in sees it.
//
// The form manager serves the fixture's forms libraries (personal, a folder's own, local, the
// organization's, and the default registry, which resolves across all of them); RemoveForm
// removes the form in the fixture. A fixture rule that fires for RemoveForm answers its code and
// leaves the form, so that a success code that removes nothing can be played too.
//
// Every call is appended to MERIVANE_STANDIN_LOG as a line starting "mapi ", and any call can
// be failed by a fixture rule. Object names for the rules: "MAPI" (the entry points),
// "MAPISession", "MAPIStore:<store root path>", "MAPIFolder:<folder path>", "MAPIFormMgr",
// "MAPIFormContainer:<personal|local|organization|default|folder:<folder path>>".

#include <windows.h>
#include <mapix.h>
#include <mapiform.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "testbed/profile/profile.h"

namespace {

constexpr ULONG PR_DEF_POST_MSGCLASS = 0x36E5001E;
constexpr ULONG PR_DEF_POST_DISPLAYNAME = 0x36E6001E;

struct Counts {
  LONG calls = 0;
  LONG initialisations = 0;
  LONG uninitialisations = 0;
  LONG logons = 0;
  LONG logoffs = 0;
  LONG objects = 0;
  LONG references = 0;
  LONG buffers = 0;  // blocks handed out and not yet given back through MAPIFreeBuffer
};
Counts counts;

std::unique_ptr<testbed::Profile> profile;
std::FILE* log_file = nullptr;

std::string variable(const char* name) {
  char value[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length != 0 && length < sizeof value ? std::string(value, length) : std::string();
}

void log_line(const std::string& line) {
  if (log_file == nullptr) {
    const std::string path = variable("MERIVANE_STANDIN_LOG");
    if (path.empty()) return;
    log_file = std::fopen(path.c_str(), "ab");
    if (log_file == nullptr) return;
  }
  std::fprintf(log_file, "mapi %s\n", line.c_str());
  std::fflush(log_file);
}

std::string hex(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", value);
  return text;
}

std::string bytes_text(ULONG size, const void* bytes) {
  if (bytes == nullptr) return "null";
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (ULONG i = 0; i < size; ++i) {
    const auto byte = static_cast<const unsigned char*>(bytes)[i];
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

std::string text_or_null(const char* text) {
  return text == nullptr ? "null" : testbed::fixture_value(text);
}

// Numbers the call and hands back the fixture rule that fires for it, if any.
std::optional<testbed::FailRule> begin_call_rule(const std::string& object, const char* member,
                                                 bool can_refuse = false) {
  const long call = ++counts.calls;
  if (profile == nullptr) return std::nullopt;
  return profile->take_rule(call, object, member, testbed::kind_method, can_refuse);
}

std::optional<HRESULT> failure_of(const std::optional<testbed::FailRule>& rule) {
  if (!rule || rule->refuse != 0) return std::nullopt;
  return rule->exception ? E_FAIL : rule->hresult;
}

// Numbers the call and answers with a fixture rule's result when one fires for it.
std::optional<HRESULT> begin_call(const std::string& object, const char* member) {
  return failure_of(begin_call_rule(object, member));
}

// A problem array as MAPI hands one out, for MAPIFreeBuffer to give back.
LPSPropProblemArray problem_array(ULONG index, ULONG tag) {
  auto* problems = static_cast<LPSPropProblemArray>(std::malloc(CbNewSPropProblemArray(1)));
  if (problems == nullptr) return nullptr;
  ++counts.buffers;
  problems->cProblem = 1;
  problems->aProblem[0] = {index, tag, static_cast<SCODE>(MAPI_E_NO_ACCESS)};
  return problems;
}

HRESULT end_call(const std::string& line, HRESULT result) {
  log_line("call " + std::to_string(counts.calls) + " " + line + " -> " + hex(ULONG(result)));
  return result;
}

// Reference counting shared by the stand-in's objects; each logs its end, so that tests can
// tell the order in which the program gave its references back.
template <typename Interface>
class Counted : public Interface {
 public:
  Counted() {
    ++counts.objects;
    ++counts.references;
  }
  virtual ~Counted() {
    --counts.objects;
    log_line("destroy " + name_);
  }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, LPVOID* out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (iid != IID_IUnknown) return E_NOINTERFACE;
    *out = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    ++counts.references;
    return ULONG(++references_);
  }
  STDMETHODIMP_(ULONG) Release() override {
    --counts.references;
    const LONG left = --references_;
    if (left == 0) delete this;
    return ULONG(left);
  }

 protected:
  std::string name_;

 private:
  LONG references_ = 1;
};

// Every method a MAPI interface has answers MAPI_E_NO_SUPPORT unless a class overrides it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define NO_SUPPORT \
  { return MAPI_E_NO_SUPPORT; }

class FolderBase : public Counted<IMAPIFolder> {
 public:
  MAPI_IMAPIPROP_METHODS(NO_SUPPORT)
  MAPI_IMAPICONTAINER_METHODS(NO_SUPPORT)
  MAPI_IMAPIFOLDER_METHODS(NO_SUPPORT)
};

class StoreBase : public Counted<IMsgStore> {
 public:
  MAPI_IMAPIPROP_METHODS(NO_SUPPORT)
  MAPI_IMSGSTORE_METHODS(NO_SUPPORT)
};

class SessionBase : public Counted<IMAPISession> {
 public:
  MAPI_IMAPISESSION_METHODS(NO_SUPPORT)
};

class FormInfoBase : public Counted<IMAPIFormInfo> {
 public:
  MAPI_IMAPIPROP_METHODS(NO_SUPPORT)
  MAPI_IMAPIFORMINFO_METHODS(NO_SUPPORT)
};

class FormContainerBase : public Counted<IMAPIFormContainer> {
 public:
  MAPI_GETLASTERROR_METHOD(NO_SUPPORT)
  MAPI_IMAPIFORMCONTAINER_METHODS(NO_SUPPORT)
};

class FormMgrBase : public Counted<IMAPIFormMgr> {
 public:
  MAPI_GETLASTERROR_METHOD(NO_SUPPORT)
  MAPI_IMAPIFORMMGR_METHODS(NO_SUPPORT)
};
#undef NO_SUPPORT
#pragma GCC diagnostic pop

std::string folder_name(std::uint32_t folder) {
  return "MAPIFolder:" + profile->folders()[folder].path;
}

class Folder final : public FolderBase {
 public:
  explicit Folder(std::uint32_t folder) : folder_(folder) { name_ = folder_name(folder); }
  std::uint32_t index() const { return folder_; }

  STDMETHODIMP SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
    const auto rule = begin_call_rule(name_, "SetProps", true);
    const auto failure = failure_of(rule);
    const ULONG refused = rule ? rule->refuse : 0;
    std::string line = name_ + " SetProps count=" + std::to_string(count) + " values=";
    const char* message_class = nullptr;
    const char* display_name = nullptr;
    std::optional<ULONG> refused_index;
    for (ULONG i = 0; values != nullptr && i < count; ++i) {
      if (i != 0) line += ',';
      const ULONG tag = values[i].ulPropTag;
      const bool text = PROP_TYPE(tag) == PT_STRING8;
      line += hex(tag) + ":" + (text ? text_or_null(values[i].Value.lpszA) : "?");
      if (tag == refused) {
        refused_index = i;
        continue;
      }
      if (tag == PR_DEF_POST_MSGCLASS) message_class = values[i].Value.lpszA;
      if (tag == PR_DEF_POST_DISPLAYNAME) display_name = values[i].Value.lpszA;
    }
    line += problems == nullptr ? " problems=null" : " problems=asked";
    if (problems != nullptr) *problems = nullptr;
    if (failure) return end_call(line, *failure);
    if (values == nullptr || count == 0) return end_call(line, MAPI_E_INVALID_PARAMETER);
    // A refused property is left unwritten and reported, where the caller asked for problems.
    if (refused_index) {
      line += " refused=" + hex(refused);
      if (problems != nullptr) *problems = problem_array(*refused_index, refused);
      if (refused == PR_DEF_POST_MSGCLASS) return end_call(line, S_OK);
    }
    if (message_class != nullptr) {
      try {
        profile->set_default_form(folder_, message_class,
                                  display_name != nullptr ? display_name : "");
      } catch (const std::exception&) {
        return end_call(line, MAPI_E_DISK_ERROR);
      }
    }
    return end_call(line, S_OK);
  }

 private:
  std::uint32_t folder_;
};

using Library = testbed::Profile::FormLibrary;
constexpr HFRMREG organization_library = 4;

// What a form manager's library answers for; default: every library, as the registry that
// searches them all.
struct LibraryScope {
  HFRMREG library = HFRMREG_DEFAULT;
  std::uint32_t folder = testbed::Profile::no_folder;

  std::string name() const {
    switch (library) {
      case HFRMREG_PERSONAL:
        return "personal";
      case HFRMREG_LOCAL:
        return "local";
      case HFRMREG_FOLDER:
        return "folder:" + profile->folders()[folder].path;
      case organization_library:
        return "organization";
      default:
        return "default";
    }
  }
  bool holds(const testbed::Profile::Form& form) const {
    switch (library) {
      case HFRMREG_PERSONAL:
        return form.library == Library::personal;
      case HFRMREG_LOCAL:
        return form.library == Library::local;
      case HFRMREG_FOLDER:
        return form.library == Library::folder && form.folder == folder;
      case organization_library:
        return form.library == Library::organization;
      default:
        return true;
    }
  }
};

class FormInfo final : public FormInfoBase {
 public:
  explicit FormInfo(const std::string& message_class) { name_ = "MAPIFormInfo:" + message_class; }
};

class FormContainer final : public FormContainerBase {
 public:
  explicit FormContainer(LibraryScope scope) : scope_(scope) {
    name_ = "MAPIFormContainer:" + scope_.name();
  }

  // Exact, or, without MAPIFORM_EXACTMATCH, the nearest base class's form ("IPM.Task" for
  // "IPM.Task.Merivane").
  STDMETHODIMP ResolveMessageClass(LPCSTR message_class, ULONG flags,
                                   LPMAPIFORMINFO* info) override {
    const auto failure = begin_call(name_, "ResolveMessageClass");
    std::string line = name_ + " ResolveMessageClass class=" + text_or_null(message_class) +
                       " flags=" + hex(flags);
    if (info == nullptr || message_class == nullptr)
      return end_call(line, MAPI_E_INVALID_PARAMETER);
    *info = nullptr;
    if (failure) return end_call(line, *failure);
    std::string wanted = message_class;
    for (;;) {
      if (find(wanted)) {
        *info = new FormInfo(wanted);
        return end_call(line + " found=" + testbed::fixture_value(wanted), S_OK);
      }
      const std::size_t dot = wanted.rfind('.');
      if ((flags & MAPIFORM_EXACTMATCH) != 0 || dot == std::string::npos)
        return end_call(line, MAPI_E_NOT_FOUND);
      wanted.resize(dot);
    }
  }

  STDMETHODIMP RemoveForm(LPCSTR message_class) override {
    const auto failure = begin_call(name_, "RemoveForm");
    const std::string line = name_ + " RemoveForm class=" + text_or_null(message_class);
    if (message_class == nullptr) return end_call(line, MAPI_E_INVALID_PARAMETER);
    if (failure) return end_call(line, *failure);
    const std::optional<std::size_t> form = find(message_class);
    if (!form) return end_call(line, MAPI_E_NOT_FOUND);
    try {
      profile->remove_form(*form);
    } catch (const std::exception&) {
      return end_call(line, MAPI_E_DISK_ERROR);
    }
    return end_call(line, S_OK);
  }

 private:
  std::optional<std::size_t> find(const std::string& message_class) const {
    const auto& forms = profile->forms();
    for (std::size_t at = 0; at < forms.size(); ++at)
      if (!forms[at].removed && scope_.holds(forms[at]) &&
          profile->text(forms[at].message_class) == message_class)
        return at;
    return std::nullopt;
  }

  LibraryScope scope_;
};

class FormMgr final : public FormMgrBase {
 public:
  FormMgr() { name_ = "MAPIFormMgr"; }

  STDMETHODIMP OpenFormContainer(HFRMREG library, LPUNKNOWN object,
                                 LPMAPIFORMCONTAINER* container) override {
    const auto failure = begin_call(name_, "OpenFormContainer");
    LibraryScope scope{library};
    // A folder's library is the folder's that the caller opened here.
    if (library == HFRMREG_FOLDER) {
      const auto* folder = dynamic_cast<Folder*>(object);
      if (folder != nullptr) scope.folder = folder->index();
    }
    std::string line = name_ + " OpenFormContainer library=" +
                       (library == HFRMREG_FOLDER && scope.folder == testbed::Profile::no_folder
                            ? "folder:?"
                            : scope.name()) +
                       " object=" + (object == nullptr ? "null" : "given");
    if (container == nullptr) return end_call(line, MAPI_E_INVALID_PARAMETER);
    *container = nullptr;
    if (failure) return end_call(line, *failure);
    if (library == HFRMREG_FOLDER && scope.folder == testbed::Profile::no_folder)
      return end_call(line, E_NOINTERFACE);
    if (library > organization_library) return end_call(line, MAPI_E_INVALID_PARAMETER);
    *container = new FormContainer(scope);
    return end_call(line, S_OK);
  }
};

class Store final : public StoreBase {
 public:
  explicit Store(std::uint32_t root) : root_(root) {
    name_ = "MAPIStore:" + profile->folders()[root].path;
  }

  STDMETHODIMP OpenEntry(ULONG size, LPENTRYID entry, LPCIID interface_id, ULONG flags,
                         ULONG* object_type, LPUNKNOWN* object) override {
    const std::string& name = name_;
    const auto failure = begin_call(name, "OpenEntry");
    const std::string id = bytes_text(size, entry);
    std::string line = name + " OpenEntry entry=" + id +
                       " interface=" + (interface_id == nullptr ? "null" : "given") +
                       " flags=" + hex(flags);
    if (object == nullptr || object_type == nullptr)
      return end_call(line, MAPI_E_INVALID_PARAMETER);
    *object = nullptr;
    if (failure) return end_call(line, *failure);
    // The store's own identifier names the store itself: an entry that is no folder.
    if (id == profile->store_id(root_)) {
      AddRef();
      *object = static_cast<IMsgStore*>(this);
      *object_type = MAPI_STORE;
      return end_call(line + " type=" + std::to_string(MAPI_STORE), S_OK);
    }
    for (std::uint32_t folder = 0; folder < profile->folders().size(); ++folder) {
      const auto& found = profile->folders()[folder];
      if (found.root != root_ || !same_hex(found.entry_id, id)) continue;
      *object = static_cast<IMAPIFolder*>(new Folder(folder));
      *object_type = MAPI_FOLDER;
      return end_call(line + " type=" + std::to_string(MAPI_FOLDER), S_OK);
    }
    return end_call(line, MAPI_E_NOT_FOUND);
  }

  static bool same_hex(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), int(a.size()), b.data(),
                          int(b.size())) == CSTR_EQUAL;
  }

 private:
  std::uint32_t root_;
};

class Session final : public SessionBase {
 public:
  Session() { name_ = "MAPISession"; }

  STDMETHODIMP OpenMsgStore(ULONG_PTR ui_param, ULONG size, LPENTRYID entry, LPCIID interface_id,
                            ULONG flags, LPMDB* store) override {
    const auto failure = begin_call("MAPISession", "OpenMsgStore");
    const std::string id = bytes_text(size, entry);
    std::string line = "MAPISession OpenMsgStore ui=" + std::to_string(ui_param) + " entry=" + id +
                       " interface=" + (interface_id == nullptr ? "null" : "given") +
                       " flags=" + hex(flags);
    if (store == nullptr) return end_call(line, MAPI_E_INVALID_PARAMETER);
    *store = nullptr;
    if (failure) return end_call(line, *failure);
    if (profile == nullptr) return end_call(line, MAPI_E_NOT_FOUND);
    for (const std::uint32_t root : profile->roots()) {
      if (!Store::same_hex(profile->store_id(root), id)) continue;
      *store = new Store(root);
      return end_call(line + " store=" + testbed::fixture_value(profile->folders()[root].path),
                      S_OK);
    }
    return end_call(line, MAPI_E_NOT_FOUND);
  }

  STDMETHODIMP Logoff(ULONG_PTR ui_param, ULONG flags, ULONG reserved) override {
    const auto failure = begin_call("MAPISession", "Logoff");
    ++counts.logoffs;
    return end_call("MAPISession Logoff ui=" + std::to_string(ui_param) + " flags=" + hex(flags) +
                        " reserved=" + std::to_string(reserved),
                    failure.value_or(S_OK));
  }
};

}  // namespace

extern "C" {

__declspec(dllexport) HRESULT WINAPI MAPIInitialize(LPVOID init) {
  if (profile == nullptr) {
    const std::string path = variable("MERIVANE_PROFILE");
    if (!path.empty()) {
      try {
        profile = testbed::Profile::load(path);
      } catch (const std::exception& error) {
        log_line(std::string("error ") + error.what());
        return MAPI_E_CALL_FAILED;
      }
    }
  }
  const auto failure = begin_call("MAPI", "MAPIInitialize");
  const auto* given = static_cast<const MAPIINIT_0*>(init);
  const std::string line = given == nullptr
                               ? "MAPI MAPIInitialize init=null"
                               : "MAPI MAPIInitialize version=" + std::to_string(given->ulVersion) +
                                     " flags=" + hex(given->ulFlags);
  const HRESULT result = failure.value_or(S_OK);
  if (result == S_OK) ++counts.initialisations;
  return end_call(line, result);
}

#ifndef MAPI32_NO_UNINITIALIZE
__declspec(dllexport) void WINAPI MAPIUninitialize() {
  begin_call("MAPI", "MAPIUninitialize");
  ++counts.uninitialisations;
  end_call("MAPI MAPIUninitialize", S_OK);
}
#endif

__declspec(dllexport) HRESULT WINAPI
    MAPILogonEx(ULONG_PTR ui_param, LPSTR profile_name, LPSTR password, ULONG flags,
                LPMAPISESSION* session) {
  const auto failure = begin_call("MAPI", "MAPILogonEx");
  const std::string line = "MAPI MAPILogonEx ui=" + std::to_string(ui_param) +
                           " profile=" + text_or_null(profile_name) +
                           " password=" + text_or_null(password) + " flags=" + hex(flags);
  if (session == nullptr) return end_call(line, MAPI_E_INVALID_PARAMETER);
  *session = nullptr;
  if (failure) return end_call(line, *failure);
  *session = new Session;
  ++counts.logons;
  return end_call(line, S_OK);
}

#ifndef MAPI32_NO_FORM_MGR
__declspec(dllexport) HRESULT WINAPI MAPIOpenFormMgr(LPMAPISESSION session, LPMAPIFORMMGR* manager) {
  const auto failure = begin_call("MAPI", "MAPIOpenFormMgr");
  const std::string line =
      std::string("MAPI MAPIOpenFormMgr session=") + (session == nullptr ? "null" : "given");
  if (manager == nullptr || session == nullptr) return end_call(line, MAPI_E_INVALID_PARAMETER);
  *manager = nullptr;
  if (failure) return end_call(line, *failure);
  *manager = new FormMgr;
  return end_call(line, S_OK);
}
#endif

__declspec(dllexport) ULONG WINAPI MAPIFreeBuffer(LPVOID buffer) {
  const auto failure = begin_call("MAPI", "MAPIFreeBuffer");
  if (buffer != nullptr) --counts.buffers;
  std::free(buffer);
  return ULONG(end_call("MAPI MAPIFreeBuffer", failure.value_or(S_OK)));
}

// For tests in the process that loaded the stand-in.
__declspec(dllexport) void WINAPI mapi32_standin_counts(LONG* values, ULONG size) {
  const LONG all[] = {counts.calls,      counts.initialisations, counts.uninitialisations,
                      counts.logons,     counts.logoffs,         counts.objects,
                      counts.references, counts.buffers};
  for (ULONG i = 0; i < size && i < sizeof all / sizeof all[0]; ++i) values[i] = all[i];
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) log_line("load");
  if (reason == DLL_PROCESS_DETACH) {
    log_line("summary calls=" + std::to_string(counts.calls) +
             " initialisations=" + std::to_string(counts.initialisations) + " uninitialisations=" +
             std::to_string(counts.uninitialisations) + " logons=" + std::to_string(counts.logons) +
             " logoffs=" + std::to_string(counts.logoffs) + " objects=" +
             std::to_string(counts.objects) + " references=" + std::to_string(counts.references) +
             " buffers=" + std::to_string(counts.buffers));
    log_line("unload");
    if (log_file != nullptr) std::fclose(log_file);
    log_file = nullptr;
  }
  return TRUE;
}

}  // extern "C"
