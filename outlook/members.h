#pragma once
// Outlook's members as the program uses them, each bound by its DISPID alone. Every accessor
// raises E_POINTER for an empty owner before any call, and _com_error for any failure.

#include <windows.h>
#include <oaidl.h>

#include <optional>
#include <vector>

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
inline constexpr DISPID get_item_from_id = 0x2109;
}  // namespace dispid

// The value of DefaultItemType for a task folder.
inline constexpr LONG task_item_type = 3;
// Close's argument: drop the item's changes.
inline constexpr LONG discard_changes = 1;
// GetTable's contents: the folder's items, or its hidden ones.
inline constexpr LONG user_items = 0;
inline constexpr LONG hidden_items = 1;

// Application
DispatchPtr get_namespace(const DispatchPtr& application, const AutomationString& type);
// NameSpace
DispatchPtr namespace_folders(const DispatchPtr& name_space);
DispatchPtr namespace_get_item_from_id(const DispatchPtr& name_space,
                                       const AutomationString& entry_id,
                                       const AutomationString& store_id);
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

// One such member, bound on the first object it is asked of and kept for the run: objects of
// one kind share their DISPIDs. A name that does not bind stays unbound, without further
// attempts.
class BoundMember {
 public:
  explicit BoundMember(const wchar_t* name) : name_(name) {}
  // A raise (an empty owner) leaves the member untried.
  std::optional<DISPID> id(const DispatchPtr& object);
  // The same, raising DISP_E_UNKNOWNNAME where the object does not know the name.
  DISPID required(const DispatchPtr& object);

 private:
  const wchar_t* name_;
  bool tried_ = false;
  std::optional<DISPID> id_;
};

// The members of Outlook's table of a folder's items (Outlook 2007 and later), bound by name
// once a run.
struct TableMembers {
  BoundMember get_table{L"GetTable"};
  BoundMember end_of_table{L"EndOfTable"};
  BoundMember get_next_row{L"GetNextRow"};
  BoundMember row_item{L"Item"};
  BoundMember columns{L"Columns"};
  BoundMember add_column{L"Add"};

  // The EntryIDs of the rows of the folder's table of its items (contents: user_items or
  // hidden_items) that filter selects, every row read before anything is changed: the table
  // follows the folder, and an item changed may leave it at once. Given a column to add, only
  // the rows whose text in it is exactly wanted. Raises DISP_E_UNKNOWNNAME where this Outlook
  // lacks a member, and whatever a call raises.
  std::vector<AutomationString> entry_ids(const DispatchPtr& folder, const char* filter,
                                          LONG contents, const char* added_column = nullptr,
                                          const char* wanted = nullptr);
};

// MAPIFolder, by its bound DISPID
DispatchPtr folder_property_accessor(const DispatchPtr& folder, DISPID property_accessor);
// PropertyAccessor: SetProperties(SchemaNames, Values); the answer goes into answer.
void accessor_set_properties(const DispatchPtr& accessor, DISPID set_properties,
                             const VARIANT& names, const VARIANT& values, Variant& answer);
// MAPIFolder: GetTable(Filter, TableContents)
DispatchPtr folder_get_table(const DispatchPtr& folder, DISPID get_table,
                             const AutomationString& filter, LONG contents);
// Table
bool table_end_of_table(const DispatchPtr& table, DISPID end_of_table);
// Empty past the last row.
DispatchPtr table_get_next_row(const DispatchPtr& table, DISPID get_next_row);
// Row: a column's value by the column's name, as text.
AutomationString row_text(const DispatchPtr& row, DISPID item, const AutomationString& column);

// By a bound DISPID: a property's object or text (NameSpace.DefaultStore, Store.StoreID,
// Store.PropertyAccessor, Table.Columns).
DispatchPtr object_property(const DispatchPtr& object, DISPID member);
AutomationString text_property(const DispatchPtr& object, DISPID member);
// NameSpace.GetFolderFromID(EntryIDFolder, EntryIDStore)
DispatchPtr namespace_get_folder_from_id(const DispatchPtr& name_space, DISPID get_folder_from_id,
                                         const AutomationString& entry_id,
                                         const AutomationString& store_id);
// PropertyAccessor.GetProperty(SchemaName), into value; PropertyAccessor.BinaryToString(Value).
void accessor_get_property(const DispatchPtr& accessor, DISPID get_property,
                           const AutomationString& schema_name, Variant& value);
AutomationString accessor_binary_to_string(const DispatchPtr& accessor, DISPID binary_to_string,
                                           const VARIANT& value);
// Columns.Add(Name): the column is let go at once.
void columns_add(const DispatchPtr& columns, DISPID add, const AutomationString& name);
// MAPIFolder.GetStorage(StorageIdentifier, StorageIdentifierType); StorageItem.Delete.
DispatchPtr folder_get_storage(const DispatchPtr& folder, DISPID get_storage,
                               const AutomationString& identifier, LONG identifier_type);
void storage_delete(const DispatchPtr& storage, DISPID remove);

}  // namespace outlook
