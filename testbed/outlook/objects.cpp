// The objects of Outlook's model that the program walks, over the simulated profile.

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "testbed/machine/elevation.h"
#include "testbed/outlook/server.h"

namespace testbed {

namespace {

// Member DISPIDs of Outlook's object model.
constexpr DISPID get_namespace_id = 272;
constexpr DISPID folders_id = 8451;
constexpr DISPID count_id = 80;
constexpr DISPID item_id = 81;
constexpr DISPID default_item_type_id = 12550;
constexpr DISPID items_id = 12544;
constexpr DISPID entry_id_id = 61470;
constexpr DISPID store_id_id = 12552;
constexpr DISPID new_item_id = 200;
constexpr DISPID restrict_id = 0x64;
constexpr DISPID message_class_id = 26;
constexpr DISPID save_id = 61512;
constexpr DISPID form_description_id = 61589;
constexpr DISPID close_id = 61475;
constexpr DISPID folder_path_id = 64120;
constexpr DISPID property_accessor_id = 64253;
constexpr DISPID set_properties_id = 109;

// The default form's properties as PropertyAccessor names them: PR_DEF_POST_MSGCLASS and
// PR_DEF_POST_DISPLAYNAME, in their Unicode types.
constexpr std::uint32_t default_form_class_tag = 0x36E5001F;
constexpr std::uint32_t default_form_display_tag = 0x36E6001F;
constexpr struct {
  const char* name;
  std::uint32_t tag;
} schema_properties[] = {
    {"http://schemas.microsoft.com/mapi/proptag/0x36E5001F", default_form_class_tag},
    {"http://schemas.microsoft.com/mapi/proptag/0x36E6001F", default_form_display_tag},
};
// MAPI_E_NOT_FOUND, which answers for a property that Outlook does not know.
constexpr HRESULT property_not_found = static_cast<HRESULT>(0x8004010F);

enum CloseMode : LONG { close_save = 0, close_discard = 1, close_prompt = 2 };

// How many new items were made in each folder so far, by folder path: the numbers in the
// names of new items run on across Application objects.
std::unordered_map<std::string, long> new_items_made;

using ClassText = std::optional<std::string>;

BSTR bstr_from(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  BSTR result = SysAllocStringLen(nullptr, UINT(length > 0 ? length : 0));
  if (result != nullptr && length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), result, length);
  }
  return result;
}

std::string text_from(BSTR text) {
  const int length = int(SysStringLen(text));
  if (length == 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string narrow(std::size_t(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text, length, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

// A message class a fixture line can carry.
bool is_usable_class(const std::string& text) {
  return !text.empty() && text.find_first_of("\r\n") == std::string::npos;
}

template <typename Object, typename... Arguments>
HRESULT give_object(VARIANT* result, Arguments&&... arguments) {
  if (result == nullptr) return S_OK;
  result->vt = VT_DISPATCH;
  result->pdispVal = new Object(std::forward<Arguments>(arguments)...);
  return S_OK;
}

HRESULT give_number(VARIANT* result, LONG value) {
  if (result != nullptr) {
    result->vt = VT_I4;
    result->lVal = value;
  }
  return S_OK;
}

HRESULT give_text(VARIANT* result, const ClassText& text) {
  if (result == nullptr) return S_OK;
  BSTR value = nullptr;
  if (text) {
    value = bstr_from(*text);
    if (value == nullptr) return E_OUTOFMEMORY;
  }
  result->vt = VT_BSTR;
  result->bstrVal = value;
  return S_OK;
}

ClassText class_text(const Profile& profile, std::uint32_t id) {
  if (id == Profile::no_text) return std::nullopt;
  return profile.text(id);
}

// The members of a plain collection (folders, a restricted set of items), as Outlook's.
constexpr Member collection_members[] = {
    {count_id, "Count", kind_get, Arguments::none},
    {item_id, "Item", kind_method, Arguments::number},
};

// A collection index from 1, as the caller passed it.
bool index_in(const DISPPARAMS& parameters, std::size_t size, std::size_t& index) {
  const LONG given = parameters.rgvarg[0].lVal;
  if (given < 1 || std::size_t(given) > size) return false;
  index = std::size_t(given) - 1;
  return true;
}

class FormDescription : public DispatchObject {
 public:
  FormDescription(std::string name, std::shared_ptr<Profile> profile, ClassText message_class)
      : DispatchObject(std::move(name), std::move(profile)),
        message_class_(std::move(message_class)) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {message_class_id, "MessageClass", kind_get, Arguments::none},
    };
    return table;
  }

  HRESULT perform(const Member&, const DISPPARAMS&, VARIANT* result) override {
    return give_text(result, message_class_);
  }

 private:
  ClassText message_class_;
};

// A stored item, or a new one that is stored only when it is saved. Its message class is the
// stored one until a write gives it a class of its own, which Save stores.
class Item : public DispatchObject {
 public:
  Item(std::string name, std::shared_ptr<Profile> profile, std::uint32_t folder,
       std::uint32_t number, ClassText new_class)
      : DispatchObject(std::move(name), std::move(profile)),
        folder_(folder),
        number_(number),
        pending_(std::move(new_class)) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {message_class_id, "MessageClass", kind_get, Arguments::none},
        {message_class_id, "MessageClass", kind_put, Arguments::put_text},
        {save_id, "Save", kind_method, Arguments::none},
        {form_description_id, "FormDescription", kind_get, Arguments::none},
        {close_id, "Close", kind_method, Arguments::number},
    };
    return table;
  }

  HRESULT perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) override {
    switch (member.id) {
      case message_class_id:
        if (member.kind == kind_get) return give_text(result, message_class());
        return write_class(parameters.rgvarg[0].bstrVal);
      case save_id:
        return save();
      case form_description_id:
        return give_object<FormDescription>(result, "FormDescription:" + name(), shared_profile(),
                                            message_class());
      case close_id:
        return close(parameters.rgvarg[0].lVal);
    }
    return E_UNEXPECTED;
  }

 private:
  bool is_stored() const { return number_ != 0; }

  ClassText message_class() {
    if (pending_ || !is_stored()) return pending_;
    return class_text(profile(), profile().folders()[folder_].items[number_ - 1]);
  }

  HRESULT write_class(BSTR value) {
    std::string text = text_from(value);
    if (!is_usable_class(text)) return E_INVALIDARG;
    pending_ = std::move(text);
    return S_OK;
  }

  HRESULT save() {
    // A new item closed without saving is gone, as in Outlook.
    if (discarded_) return E_UNEXPECTED;
    if (is_stored()) {
      profile().save_item(folder_, number_, pending_);
    } else {
      number_ = profile().create_item(folder_, pending_);
    }
    pending_.reset();
    return S_OK;
  }

  HRESULT close(LONG mode) {
    switch (mode) {
      case close_save:
      case close_prompt:  // nobody is there to answer; the stand-in answers yes
        if (discarded_) return E_UNEXPECTED;
        return pending_ || !is_stored() ? save() : S_OK;
      case close_discard:
        if (is_stored()) {
          pending_.reset();
        } else {
          discarded_ = true;
        }
        return S_OK;
    }
    return E_INVALIDARG;
  }

  std::uint32_t folder_;
  std::uint32_t number_;  // from 1; 0 while a new item is not stored
  ClassText pending_;     // a class not stored yet
  bool discarded_ = false;
};

// The items of a folder that Restrict kept, found afresh at every call: an item whose class
// changes so that it no longer matches leaves the collection at once, as it does in Outlook.
class Restricted : public DispatchObject {
 public:
  Restricted(std::shared_ptr<Profile> profile, std::uint32_t folder, std::string message_class)
      : DispatchObject("Restricted:" + profile->folders()[folder].path, profile),
        folder_(folder),
        message_class_(std::move(message_class)) {}

 protected:
  std::span<const Member> members() const override { return collection_members; }

  HRESULT perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) override {
    std::vector<std::uint32_t> numbers;
    const std::vector<std::uint32_t>& items = profile().folders()[folder_].items;
    for (std::size_t at = 0; at < items.size(); ++at) {
      if (items[at] != Profile::no_text && profile().text(items[at]) == message_class_)
        numbers.push_back(std::uint32_t(at + 1));
    }
    if (member.id == count_id) return give_number(result, LONG(numbers.size()));
    std::size_t index = 0;
    if (!index_in(parameters, numbers.size(), index)) return DISP_E_BADINDEX;
    const std::string& path = profile().folders()[folder_].path;
    return give_object<Item>(result, "Item:" + path + "#" + std::to_string(numbers[index]),
                             shared_profile(), folder_, numbers[index], std::nullopt);
  }

 private:
  std::uint32_t folder_;
  std::string message_class_;
};

// The one filter Restrict understands: "[MessageClass] = 'class'", blanks around the parts
// free; nothing for any other.
std::optional<std::string> message_class_filter(const std::string& filter) {
  std::size_t at = 0;
  const auto blanks = [&] {
    while (at < filter.size() && filter[at] == ' ') ++at;
  };
  const auto word = [&](std::string_view expected) {
    blanks();
    if (filter.compare(at, expected.size(), expected) != 0) return false;
    at += expected.size();
    return true;
  };
  if (!word("[MessageClass]") || !word("=") || !word("'")) return std::nullopt;
  const std::size_t close = filter.find('\'', at);
  if (close == std::string::npos) return std::nullopt;
  std::string message_class = filter.substr(at, close - at);
  at = close + 1;
  blanks();
  if (at != filter.size() || message_class.empty()) return std::nullopt;
  return message_class;
}

class Items : public DispatchObject {
 public:
  Items(std::shared_ptr<Profile> profile, std::uint32_t folder)
      : DispatchObject("Items:" + profile->folders()[folder].path, profile), folder_(folder) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {count_id, "Count", kind_get, Arguments::none},
        {item_id, "Item", kind_method, Arguments::number},
        {new_item_id, "NewItem", kind_method, Arguments::optional_class},
        {restrict_id, "Restrict", kind_method, Arguments::text},
    };
    return table;
  }

  HRESULT perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) override {
    const std::string& path = profile().folders()[folder_].path;
    switch (member.id) {
      case count_id:
        return give_number(result, LONG(profile().folders()[folder_].items.size()));
      case item_id: {
        std::size_t index = 0;
        if (!index_in(parameters, profile().folders()[folder_].items.size(), index)) {
          return DISP_E_BADINDEX;
        }
        return give_object<Item>(result, "Item:" + path + "#" + std::to_string(index + 1),
                                 shared_profile(), folder_, std::uint32_t(index + 1), std::nullopt);
      }
      case new_item_id:
        return new_item(parameters, result);
      case restrict_id: {
        std::optional<std::string> message_class =
            message_class_filter(text_from(parameters.rgvarg[0].bstrVal));
        if (!message_class) return E_INVALIDARG;
        return give_object<Restricted>(result, shared_profile(), folder_,
                                       std::move(*message_class));
      }
    }
    return E_UNEXPECTED;
  }

 private:
  HRESULT new_item(const DISPPARAMS& parameters, VARIANT* result) {
    ClassText message_class;
    if (parameters.cArgs == 1 && parameters.rgvarg[0].vt == VT_BSTR) {
      message_class = text_from(parameters.rgvarg[0].bstrVal);
      if (!is_usable_class(*message_class)) return E_INVALIDARG;
    }
    // Another writer (the MAPI stand-in) may have changed the folder's default form.
    profile().refresh();
    const Profile::Folder& folder = profile().folders()[folder_];
    if (!message_class) message_class = class_text(profile(), folder.form);
    const long number = ++new_items_made[folder.path];
    return give_object<Item>(result, "NewItem:" + folder.path + "#" + std::to_string(number),
                             shared_profile(), folder_, 0, std::move(message_class));
  }

  std::uint32_t folder_;
};

std::optional<std::string> list_text(const VARIANT& list, ULONG at) {
  const VARIANT element = list_element(list, at);
  if (element.vt != VT_BSTR) return std::nullopt;
  return text_from(element.bstrVal);
}

// A tag of schema_properties; 0 for a name not understood.
std::uint32_t schema_tag(const std::optional<std::string>& name) {
  for (const auto& property : schema_properties) {
    if (name && same_member_name(property.name, *name)) return property.tag;
  }
  return 0;
}

// What was done with each property, when not all of them were set.
HRESULT give_outcomes(VARIANT* result, const std::vector<HRESULT>& outcomes) {
  if (result == nullptr) return S_OK;
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(outcomes.size()));
  if (array == nullptr) return E_OUTOFMEMORY;
  VARIANT* elements = static_cast<VARIANT*>(array->pvData);
  for (std::size_t at = 0; at < outcomes.size(); ++at) {
    elements[at].vt = VT_ERROR;
    elements[at].scode = outcomes[at];
  }
  result->vt = VT_ARRAY | VT_VARIANT;
  result->parray = array;
  return S_OK;
}

// A folder's properties by their schema names; it writes those of the default form as the
// MAPI stand-in's SetProps does.
class PropertyAccessor : public DispatchObject {
 public:
  PropertyAccessor(std::shared_ptr<Profile> profile, std::uint32_t folder)
      : DispatchObject("PropertyAccessor:" + profile->folders()[folder].path, profile),
        folder_(folder) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {set_properties_id, "SetProperties", kind_method, Arguments::property_lists},
    };
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"SetProperties"};
    return names;
  }

  HRESULT perform(const Member&, const DISPPARAMS& parameters, VARIANT* result) override {
    // Declared names first, values second; the platform lays them out last first.
    const VARIANT& names = parameters.rgvarg[1];
    const VARIANT& values = parameters.rgvarg[0];
    std::vector<HRESULT> outcomes(names.parray->rgsabound[0].cElements, S_OK);
    std::optional<std::string> message_class;
    std::string display;
    for (ULONG at = 0; at < outcomes.size(); ++at) {
      const std::uint32_t tag = schema_tag(list_text(names, at));
      const std::optional<std::string> value = list_text(values, at);
      if (tag == 0) {
        outcomes[at] = property_not_found;
      } else if (tag == refused_property()) {
        outcomes[at] = E_ACCESSDENIED;
      } else if (!value) {
        outcomes[at] = DISP_E_TYPEMISMATCH;
      } else if (tag == default_form_class_tag && is_usable_class(*value)) {
        message_class = value;
      } else if (tag == default_form_display_tag &&
                 value->find_first_of("\r\n") == std::string::npos) {
        display = *value;
      } else {
        outcomes[at] = E_INVALIDARG;  // nothing a fixture line could carry
      }
    }
    bool all_set = true;
    for (const HRESULT outcome : outcomes) all_set = all_set && outcome == S_OK;
    if (!all_set && FAILED(give_outcomes(result, outcomes))) return E_OUTOFMEMORY;
    // A display name alone changes nothing, as with MAPI's SetProps.
    if (message_class) profile().set_default_form(folder_, *message_class, display);
    return S_OK;
  }

 private:
  std::uint32_t folder_;
};

class Folders;

class Folder : public DispatchObject {
 public:
  Folder(std::shared_ptr<Profile> profile, std::uint32_t folder)
      : DispatchObject("Folder:" + profile->folders()[folder].path, profile), folder_(folder) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {default_item_type_id, "DefaultItemType", kind_get, Arguments::none},
        {folders_id, "Folders", kind_get, Arguments::none},
        {items_id, "Items", kind_get, Arguments::none},
        {entry_id_id, "EntryID", kind_get, Arguments::none},
        {store_id_id, "StoreID", kind_get, Arguments::none},
        {folder_path_id, "FolderPath", kind_get, Arguments::none},
        {property_accessor_id, "PropertyAccessor", kind_get, Arguments::none},
    };
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"PropertyAccessor"};
    return names;
  }

  HRESULT perform(const Member& member, const DISPPARAMS&, VARIANT* result) override;

 private:
  std::uint32_t folder_;
};

// The store roots when made for the NameSpace, else the subfolders of one folder.
class Folders : public DispatchObject {
 public:
  Folders(std::shared_ptr<Profile> profile, std::uint32_t parent)
      : DispatchObject(
            "Folders:" + (parent == Profile::no_folder ? "" : profile->folders()[parent].path),
            profile),
        parent_(parent) {}

 protected:
  std::span<const Member> members() const override { return collection_members; }

  HRESULT perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) override {
    const std::vector<std::uint32_t>& folders =
        parent_ == Profile::no_folder ? profile().roots() : profile().folders()[parent_].children;
    if (member.id == count_id) return give_number(result, LONG(folders.size()));
    std::size_t index = 0;
    if (!index_in(parameters, folders.size(), index)) return DISP_E_BADINDEX;
    return give_object<Folder>(result, shared_profile(), folders[index]);
  }

 private:
  std::uint32_t parent_;
};

HRESULT Folder::perform(const Member& member, const DISPPARAMS&, VARIANT* result) {
  const Profile::Folder& folder = profile().folders()[folder_];
  switch (member.id) {
    case default_item_type_id:
      return give_number(result, folder.item_type);
    case folders_id:
      return give_object<Folders>(result, shared_profile(), folder_);
    case items_id:
      return give_object<Items>(result, shared_profile(), folder_);
    case entry_id_id:
      return give_text(result, folder.entry_id);
    case store_id_id:
      return give_text(result, profile().store_id(folder_));
    case folder_path_id: {
      // As Outlook writes it: "\\Store\\Folder\\Subfolder".
      std::string path = "\\\\" + folder.path;
      for (char& c : path)
        if (c == '/') c = '\\';
      return give_text(result, path);
    }
    case property_accessor_id:
      return give_object<PropertyAccessor>(result, shared_profile(), folder_);
  }
  return E_UNEXPECTED;
}

class NameSpace : public DispatchObject {
 public:
  explicit NameSpace(std::shared_ptr<Profile> profile)
      : DispatchObject("NameSpace", std::move(profile)) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {folders_id, "Folders", kind_get, Arguments::none},
    };
    return table;
  }

  HRESULT perform(const Member&, const DISPPARAMS&, VARIANT* result) override {
    return give_object<Folders>(result, shared_profile(), Profile::no_folder);
  }
};

class Application : public DispatchObject, public IRunnableObject {
 public:
  explicit Application(std::shared_ptr<Profile> profile)
      : DispatchObject("Application", std::move(profile)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return DispatchObject::QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return DispatchObject::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DispatchObject::Release(); }

  HRESULT STDMETHODCALLTYPE GetRunningClass(CLSID* clsid) override {
    if (clsid == nullptr) return E_POINTER;
    *clsid = outlook_application_clsid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Run(LPBINDCTX) override {
    // Out of process the message filter turns the call away before it gets here.
    if (!serving_out_of_process && turning_call_away()) {
      log_line("reject " + name() + " Run");
      return RPC_E_CALL_REJECTED;
    }
    log_line("run " + name());
    return S_OK;
  }
  BOOL STDMETHODCALLTYPE IsRunning() override { return TRUE; }
  HRESULT STDMETHODCALLTYPE LockRunning(BOOL, BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetContainedObject(BOOL) override { return S_OK; }

 protected:
  void* interface_for(REFIID iid) override {
    if (iid == IID_IRunnableObject) return static_cast<IRunnableObject*>(this);
    return DispatchObject::interface_for(iid);
  }

  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {get_namespace_id, "GetNamespace", kind_method, Arguments::text},
    };
    return table;
  }

  HRESULT perform(const Member&, const DISPPARAMS& parameters, VARIANT* result) override {
    if (text_from(parameters.rgvarg[0].bstrVal) != "MAPI") return E_INVALIDARG;
    return give_object<NameSpace>(result, shared_profile());
  }
};

}  // namespace

HRESULT create_application(REFIID iid, void** out) {
  const std::string path = environment_text("MERIVANE_PROFILE");
  if (path.empty()) {
    log_line("error MERIVANE_PROFILE is not set");
    return E_FAIL;
  }
  std::shared_ptr<Profile> profile;
  try {
    profile = Profile::load(path);
  } catch (const ProfileError& error) {
    log_line(std::string("error ") + error.what());
    return E_FAIL;
  }
  // In process the maker is this process; out of it, the client COM started the server for.
  const HANDLE maker = serving_out_of_process ? client_process : GetCurrentProcess();
  const std::string elevation = elevation_of(maker);
  const std::string who =
      "Application process=" + std::to_string(GetProcessId(maker)) + " elevation=" + elevation;
  // Outlook open at another privilege level than its caller's: COM starts a second Outlook,
  // which hands over to the running one and ends, and the making fails. The running one is
  // the user's, at the user's own level: a caller with a limited token reaches it.
  const std::string& window = profile->behaviour().other_level_window;
  if (!window.empty() && elevation != "limited" &&
      FindWindowA(window.c_str(), nullptr) != nullptr) {
    log_line("refuse " + who + ": a window of class " + window + " is open");
    return CO_E_SERVER_EXEC_FAILURE;
  }
  start_busy_period(profile->behaviour());
  Application* application = new Application(std::move(profile));
  log_line("made " + who);
  const HRESULT result = application->query(iid, out);
  application->Release();
  return result;
}

}  // namespace testbed
