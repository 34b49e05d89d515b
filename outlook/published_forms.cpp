#include "outlook/published_forms.h"

#include <string>
#include <string_view>
#include <vector>

#include "mapi/form_library.h"
#include "outlook/call_watch.h"
#include "outlook/com_error.h"
#include "outlook/members.h"
#include "outlook/variant.h"

namespace outlook {

namespace {

// A published form's hidden item in a library folder, and the property naming the form's class.
constexpr char form_items_filter[] =
    "[MessageClass] = 'IPM.Microsoft.FolderDesign.FormsDescription'";
constexpr char form_class_column[] = "http://schemas.microsoft.com/mapi/proptag/0x6800001F";
// PR_COMMON_VIEWS_ENTRYID: the default store's folder that holds its personal library.
constexpr char common_views_property[] = "http://schemas.microsoft.com/mapi/proptag/0x35E60102";
constexpr LONG by_entry_id = 1;

const char* result_word(mapi::FormResult result) {
  switch (result) {
    case mapi::FormResult::removed:
      return "removed";
    case mapi::FormResult::absent:
      return "absent";
    case mapi::FormResult::left:
      return "left";
    case mapi::FormResult::failed:
      break;
  }
  return "failed";
}

mapi::FormOutcome failed_with(HRESULT code) { return {mapi::FormResult::failed, code}; }

// Outlook's own way to the libraries (2007 and later): a library folder's hidden items, each a
// published form, found through a table of them and deleted by their entry id. Never by the
// form's class, which would make an item where none is. A member this Outlook does not know
// raises: no way to that library, which counts as failed.
class OutlookLibraries {
 public:
  OutlookLibraries(const DispatchPtr& name_space, TableMembers& table)
      : name_space_(name_space), table_(table) {}

  // Whether this Outlook has the members to find the libraries at all.
  bool available() {
    try {
      return name_space_ && default_store_.id(name_space_) && get_folder_from_id_.id(name_space_);
    } catch (...) {
      return false;
    }
  }

  // The default store's Common Views folder, which holds its personal library.
  DispatchPtr personal_library() {
    const DispatchPtr store = object_property(name_space_, default_store_.required(name_space_));
    const DispatchPtr accessor = object_property(store, property_accessor_.required(store));
    Variant entry_id;
    accessor_get_property(accessor, get_property_.required(accessor),
                          AutomationString(common_views_property), entry_id);
    const AutomationString text =
        accessor_binary_to_string(accessor, binary_to_string_.required(accessor), entry_id.get());
    return namespace_get_folder_from_id(name_space_, get_folder_from_id_.required(name_space_),
                                        text, text_property(store, store_id_.required(store)));
  }

  DispatchPtr folder_library(const VisitedFolder& folder) {
    return namespace_get_folder_from_id(name_space_, get_folder_from_id_.required(name_space_),
                                        AutomationString(folder.entry_id.c_str()),
                                        AutomationString(folder.store_id.c_str()));
  }

  // Deletes the add-in's form from the folder's library and looks again.
  mapi::FormOutcome remove_from(const DispatchPtr& folder) {
    const std::vector<AutomationString> found = addin_forms(folder);
    if (found.empty()) return {mapi::FormResult::absent, S_OK};
    HRESULT code = S_OK;
    for (const AutomationString& entry_id : found) {
      if (step_given_up()) return failed_with(E_ABORT);
      try {
        const DispatchPtr storage =
            folder_get_storage(folder, get_storage_.required(folder), entry_id, by_entry_id);
        storage_delete(storage, delete_.required(storage));
      } catch (const _com_error& failure) {
        code = failure.Error();
      }
    }
    if (step_given_up()) return failed_with(E_ABORT);
    return {addin_forms(folder).empty() ? mapi::FormResult::removed : mapi::FormResult::left, code};
  }

 private:
  // The entry ids of the library's hidden items whose form is exactly the add-in's.
  std::vector<AutomationString> addin_forms(const DispatchPtr& folder) {
    return table_.entry_ids(folder, form_items_filter, hidden_items, form_class_column,
                            addin_class);
  }

  const DispatchPtr& name_space_;
  TableMembers& table_;
  BoundMember default_store_{L"DefaultStore"};
  BoundMember get_folder_from_id_{L"GetFolderFromID"};
  BoundMember property_accessor_{L"PropertyAccessor"};
  BoundMember store_id_{L"StoreID"};
  BoundMember get_property_{L"GetProperty"};
  BoundMember binary_to_string_{L"BinaryToString"};
  BoundMember get_storage_{L"GetStorage"};
  BoundMember delete_{L"Delete"};
};

// The removal of a library through Outlook, whatever it raises.
template <typename Library>
mapi::FormOutcome through_outlook(OutlookLibraries& outlook, const Library& library) {
  try {
    return outlook.remove_from(library());
  } catch (const _com_error& failure) {
    return failed_with(failure.Error());
  } catch (...) {
    return failed_with(E_FAIL);
  }
}

}  // namespace

void remove_published_forms(const DispatchPtr& name_space, ConversionRecord& record,
                            bool& needs_manual_form_step) {
  // A profile without a task folder has had no task of the add-in's, nor its form in use.
  if (step_given_up() || record.task_folders.empty()) return;
  OutlookLibraries outlook(name_space, record.table);
  const bool mapi = mapi::form_manager_available();
  if (!mapi && !outlook.available()) {
    // No way to ask: the form may still be published.
    needs_manual_form_step = true;
    return;
  }
  const char* const way = mapi ? "mapi" : "outlook";
  bool found = false, may_remain = false;
  // The local cache is the platform's copy, made again from a library: a form left there alone
  // is no step of the user's.
  const auto asked = [&](const char* library, const char* folder,
                         const mapi::FormOutcome& outcome) {
    found = found || outcome.result != mapi::FormResult::absent;
    if (record.report != nullptr)
      record.report->form_removal(library, folder, way, result_word(outcome.result),
                                  static_cast<long>(outcome.code));
    if (outcome.result == mapi::FormResult::removed) ++record.tally.forms_removed;
    const bool left =
        outcome.result == mapi::FormResult::left || outcome.result == mapi::FormResult::failed;
    if (left) ++record.tally.published_forms_left;
    may_remain = may_remain || (left && std::string_view(library) != "local");
  };
  asked("personal", nullptr,
        mapi ? mapi::remove_form(HFRMREG_PERSONAL, addin_class)
             : through_outlook(outlook, [&] { return outlook.personal_library(); }));
  for (const VisitedFolder& folder : record.task_folders) {
    if (step_given_up()) return;
    // A library that cannot be named may hold the form.
    if (folder.entry_id.empty()) {
      may_remain = true;
      continue;
    }
    asked("folder", folder.path.c_str(),
          mapi ? mapi::remove_form(HFRMREG_FOLDER, addin_class, folder.store_id.c_str(),
                                   folder.entry_id.c_str())
               : through_outlook(outlook, [&] { return outlook.folder_library(folder); }));
  }
  if (step_given_up()) return;
  // Outlook's own object model does not reach the local cache.
  if (mapi) asked("local", nullptr, mapi::remove_form(HFRMREG_LOCAL, addin_class));
  if (!found && mapi && record.report != nullptr &&
      mapi::holds_form(mapi::organization_forms, addin_class))
    record.report->form_in_organization();
  if (may_remain) needs_manual_form_step = true;
}

}  // namespace outlook
