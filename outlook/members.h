#pragma once
// Outlook's members as the program uses them, each bound by its DISPID alone. Every accessor
// raises E_POINTER for an empty owner before any call, and _com_error for any failure.

#include <windows.h>
#include <oaidl.h>

#include <optional>

#include "outlook/automation_string.h"
#include "outlook/dispatch_ptr.h"
#include "outlook/variant.h"

namespace outlook {

// Outlook's application class.
inline constexpr CLSID outlook_application_class = {
    0x0006F033, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace dispid {
inline constexpr DISPID get_namespace = 272;
inline constexpr DISPID folders = 8451;
inline constexpr DISPID count = 80;
inline constexpr DISPID item = 81;
inline constexpr DISPID default_item_type = 12550;
inline constexpr DISPID items = 12544;
inline constexpr DISPID entry_id = 61470;
inline constexpr DISPID store_id = 12552;
inline constexpr DISPID new_item = 200;
inline constexpr DISPID message_class = 26;
inline constexpr DISPID save = 61512;
inline constexpr DISPID form_description = 61589;
inline constexpr DISPID close = 61475;
inline constexpr DISPID folder_path = 64120;
inline constexpr DISPID restrict_items = 0x64;
}  // namespace dispid

// The value of DefaultItemType for a task folder.
inline constexpr LONG task_item_type = 3;
// Close's argument: drop the item's changes.
inline constexpr LONG discard_changes = 1;

// Application
DispatchPtr get_namespace(const DispatchPtr& application, const AutomationString& type);
// NameSpace
DispatchPtr namespace_folders(const DispatchPtr& name_space);
// Folders
LONG folders_count(const DispatchPtr& folders);
DispatchPtr folders_item(const DispatchPtr& folders, const VARIANT& index);
// MAPIFolder
LONG folder_default_item_type(const DispatchPtr& folder);
DispatchPtr folder_folders(const DispatchPtr& folder);
DispatchPtr folder_items(const DispatchPtr& folder);
AutomationString folder_entry_id(const DispatchPtr& folder);
AutomationString folder_store_id(const DispatchPtr& folder);
AutomationString folder_path(const DispatchPtr& folder);
// Items
LONG items_count(const DispatchPtr& items);
DispatchPtr items_item(const DispatchPtr& items, const VARIANT& index);
// Restrict: the items that match a filter, a collection that follows the items as they change.
DispatchPtr items_restrict(const DispatchPtr& items, const AutomationString& filter);
// The new-item method; given missing_argument() the call carries no argument.
DispatchPtr items_new_item(const DispatchPtr& items, const VARIANT& form);
// item
AutomationString item_message_class(const DispatchPtr& item);
// The value is given back after the call, whether it succeeds or raises.
void set_item_message_class(const DispatchPtr& item, AutomationString value);
void item_save(const DispatchPtr& item);
DispatchPtr item_form_description(const DispatchPtr& item);
void item_close(const DispatchPtr& item, LONG save_mode);
// FormDescription
AutomationString form_message_class(const DispatchPtr& form_description);

// The name of a member of those above, for the log; none for another DISPID.
const char* member_name(DISPID member);

// Members of later Outlook versions have no fixed DISPID here: they are bound by name.
// None when the object does not know the name; raises E_POINTER for an empty owner.
std::optional<DISPID> bind_member(const DispatchPtr& object, const wchar_t* name);
// MAPIFolder, by its bound DISPID
DispatchPtr folder_property_accessor(const DispatchPtr& folder, DISPID property_accessor);
// PropertyAccessor: SetProperties(SchemaNames, Values); the answer goes into answer.
void accessor_set_properties(const DispatchPtr& accessor, DISPID set_properties,
                             const VARIANT& names, const VARIANT& values, Variant& answer);

}  // namespace outlook
