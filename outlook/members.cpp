#include "outlook/members.h"

#include <cstring>

#include "outlook/com_error.h"
#include "outlook/dispatch_call.h"

namespace outlook {

namespace {

DispatchPtr read_object(const DispatchPtr& owner, DISPID member) {
  IDispatch* result = nullptr;
  dispatch_call(owner.checked(), member, DISPATCH_PROPERTYGET, VT_DISPATCH, &result, nullptr, {});
  return DispatchPtr::adopt(result);
}

LONG read_number(const DispatchPtr& owner, DISPID member) {
  LONG result = 0;
  dispatch_call(owner.checked(), member, DISPATCH_PROPERTYGET, VT_I4, &result, nullptr, {});
  return result;
}

AutomationString read_text(const DispatchPtr& owner, DISPID member) {
  BSTR result = nullptr;
  dispatch_call(owner.checked(), member, DISPATCH_PROPERTYGET, VT_BSTR, &result, nullptr, {});
  return AutomationString::adopt(result);
}

DispatchPtr call_for_object(const DispatchPtr& owner, DISPID member, const VARTYPE* parameters,
                            std::initializer_list<Argument> arguments) {
  IDispatch* result = nullptr;
  dispatch_call(owner.checked(), member, DISPATCH_METHOD, VT_DISPATCH, &result, parameters,
                arguments);
  return DispatchPtr::adopt(result);
}

}  // namespace

DispatchPtr get_namespace(const DispatchPtr& application, const AutomationString& type) {
  return call_for_object(application, dispid::get_namespace, one_bstr, {type});
}

DispatchPtr namespace_folders(const DispatchPtr& name_space) {
  return read_object(name_space, dispid::folders);
}

DispatchPtr namespace_get_item_from_id(const DispatchPtr& name_space,
                                       const AutomationString& entry_id,
                                       const AutomationString& store_id) {
  IDispatch* result = nullptr;
  dispatch_call(name_space.checked(), dispid::get_item_from_id, DISPATCH_METHOD, VT_DISPATCH,
                &result, two_bstrs, {entry_id, store_id});
  return DispatchPtr::adopt(result);
}

LONG folders_count(const DispatchPtr& folders) { return read_number(folders, dispid::count); }

DispatchPtr folders_item(const DispatchPtr& folders, const VARIANT& index) {
  return call_for_object(folders, dispid::item, one_variant, {index});
}

LONG folder_default_item_type(const DispatchPtr& folder) {
  return read_number(folder, dispid::default_item_type);
}

DispatchPtr folder_folders(const DispatchPtr& folder) {
  return read_object(folder, dispid::folders);
}

DispatchPtr folder_items(const DispatchPtr& folder) { return read_object(folder, dispid::items); }

AutomationString folder_entry_id(const DispatchPtr& folder) {
  return read_text(folder, dispid::entry_id);
}

AutomationString folder_store_id(const DispatchPtr& folder) {
  return read_text(folder, dispid::store_id);
}

AutomationString folder_path(const DispatchPtr& folder) {
  return read_text(folder, dispid::folder_path);
}

LONG items_count(const DispatchPtr& items) { return read_number(items, dispid::count); }

DispatchPtr items_item(const DispatchPtr& items, const VARIANT& index) {
  return call_for_object(items, dispid::item, one_variant, {index});
}

DispatchPtr items_restrict(const DispatchPtr& items, const AutomationString& filter) {
  return call_for_object(items, dispid::restrict_items, one_bstr, {filter});
}

DispatchPtr items_new_item(const DispatchPtr& items, const VARIANT& form) {
  return call_for_object(items, dispid::new_item, one_optional_variant, {form});
}

AutomationString item_message_class(const DispatchPtr& item) {
  return read_text(item, dispid::message_class);
}

void set_item_message_class(const DispatchPtr& item, AutomationString value) {
  dispatch_call(item.checked(), dispid::message_class, DISPATCH_PROPERTYPUT, VT_EMPTY, nullptr,
                one_bstr, {value});
}

void item_save(const DispatchPtr& item) {
  dispatch_call(item.checked(), dispid::save, DISPATCH_METHOD, VT_EMPTY, nullptr, nullptr, {});
}

DispatchPtr item_form_description(const DispatchPtr& item) {
  return read_object(item, dispid::form_description);
}

void item_close(const DispatchPtr& item, LONG save_mode) {
  dispatch_call(item.checked(), dispid::close, DISPATCH_METHOD, VT_EMPTY, nullptr, one_i4,
                {save_mode});
}

AutomationString form_message_class(const DispatchPtr& form_description) {
  return read_text(form_description, dispid::message_class);
}

std::optional<DISPID> bind_member(const DispatchPtr& object, const wchar_t* name) {
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(bind_name(object.checked(), name, id))) return std::nullopt;
  return id;
}

std::optional<DISPID> BoundMember::id(const DispatchPtr& object) {
  if (!tried_) {
    id_ = bind_member(object, name_);
    tried_ = true;
  }
  return id_;
}

DISPID BoundMember::required(const DispatchPtr& object) {
  const std::optional<DISPID> bound = id(object);
  if (!bound) raise_com_error(DISP_E_UNKNOWNNAME);
  return *bound;
}

std::vector<AutomationString> TableMembers::entry_ids(const DispatchPtr& folder, const char* filter,
                                                      LONG contents, const char* added_column,
                                                      const char* wanted) {
  const DispatchPtr table =
      folder_get_table(folder, get_table.required(folder), AutomationString(filter), contents);
  if (added_column != nullptr) {
    const DispatchPtr added = object_property(table, columns.required(table));
    columns_add(added, add_column.required(added), AutomationString(added_column));
  }
  const DISPID end = end_of_table.required(table);
  const DISPID next = get_next_row.required(table);
  const AutomationString entry_column("EntryID");
  const AutomationString wanted_column(added_column != nullptr ? added_column : "");
  std::vector<AutomationString> found;
  while (!table_end_of_table(table, end)) {
    const DispatchPtr row = table_get_next_row(table, next);
    if (!row) break;
    const DISPID item = row_item.required(row);
    if (added_column != nullptr) {
      const AutomationString text = row_text(row, item, wanted_column);
      if (text.narrow() == nullptr || wanted == nullptr || std::strcmp(text.narrow(), wanted) != 0)
        continue;
    }
    found.push_back(row_text(row, item, entry_column));
  }
  return found;
}

DispatchPtr folder_property_accessor(const DispatchPtr& folder, DISPID property_accessor) {
  return read_object(folder, property_accessor);
}

void accessor_set_properties(const DispatchPtr& accessor, DISPID set_properties,
                             const VARIANT& names, const VARIANT& values, Variant& answer) {
  dispatch_call(accessor.checked(), set_properties, DISPATCH_METHOD, VT_VARIANT, answer.put(),
                two_variants, {names, values});
}

DispatchPtr folder_get_table(const DispatchPtr& folder, DISPID get_table,
                             const AutomationString& filter, LONG contents) {
  return call_for_object(folder, get_table, bstr_and_i4, {filter, contents});
}

bool table_end_of_table(const DispatchPtr& table, DISPID end_of_table) {
  return read_number(table, end_of_table) != 0;
}

DispatchPtr table_get_next_row(const DispatchPtr& table, DISPID get_next_row) {
  return call_for_object(table, get_next_row, nullptr, {});
}

AutomationString row_text(const DispatchPtr& row, DISPID item, const AutomationString& column) {
  BSTR result = nullptr;
  dispatch_call(row.checked(), item, DISPATCH_METHOD, VT_BSTR, &result, one_bstr, {column});
  return AutomationString::adopt(result);
}

DispatchPtr object_property(const DispatchPtr& object, DISPID member) {
  return read_object(object, member);
}

AutomationString text_property(const DispatchPtr& object, DISPID member) {
  return read_text(object, member);
}

DispatchPtr namespace_get_folder_from_id(const DispatchPtr& name_space, DISPID get_folder_from_id,
                                         const AutomationString& entry_id,
                                         const AutomationString& store_id) {
  return call_for_object(name_space, get_folder_from_id, two_bstrs, {entry_id, store_id});
}

void accessor_get_property(const DispatchPtr& accessor, DISPID get_property,
                           const AutomationString& schema_name, Variant& value) {
  dispatch_call(accessor.checked(), get_property, DISPATCH_METHOD, VT_VARIANT, value.put(),
                one_bstr, {schema_name});
}

AutomationString accessor_binary_to_string(const DispatchPtr& accessor, DISPID binary_to_string,
                                           const VARIANT& value) {
  BSTR result = nullptr;
  dispatch_call(accessor.checked(), binary_to_string, DISPATCH_METHOD, VT_BSTR, &result,
                one_variant, {value});
  return AutomationString::adopt(result);
}

void columns_add(const DispatchPtr& columns, DISPID add, const AutomationString& name) {
  IDispatch* result = nullptr;
  dispatch_call(columns.checked(), add, DISPATCH_METHOD, VT_DISPATCH, &result, one_bstr, {name});
  const DispatchPtr column = DispatchPtr::adopt(result);
}

DispatchPtr folder_get_storage(const DispatchPtr& folder, DISPID get_storage,
                               const AutomationString& identifier, LONG identifier_type) {
  return call_for_object(folder, get_storage, bstr_and_i4, {identifier, identifier_type});
}

void storage_delete(const DispatchPtr& storage, DISPID remove) {
  dispatch_call(storage.checked(), remove, DISPATCH_METHOD, VT_EMPTY, nullptr, nullptr, {});
}

const char* member_name(DISPID member) {
  struct Named {
    DISPID id;
    const char* name;
  };
  static constexpr Named names[] = {
      {dispid::get_namespace, "GetNamespace"},
      {dispid::folders, "Folders"},
      {dispid::count, "Count"},
      {dispid::item, "Item"},
      {dispid::default_item_type, "DefaultItemType"},
      {dispid::items, "Items"},
      {dispid::entry_id, "EntryID"},
      {dispid::store_id, "StoreID"},
      {dispid::new_item, "Add"},
      {dispid::message_class, "MessageClass"},
      {dispid::save, "Save"},
      {dispid::form_description, "FormDescription"},
      {dispid::close, "Close"},
      {dispid::folder_path, "FolderPath"},
      {dispid::restrict_items, "Restrict"},
      {dispid::get_item_from_id, "GetItemFromID"},
      // Bound by name, and named here by the ids Outlook gives them.
      {0xFB1D, "GetTable"},
      {0xFB1F, "EndOfTable"},
      {0x57, "GetNextRow"},
  };
  for (const Named& named : names) {
    if (named.id == member) return named.name;
  }
  return nullptr;
}

}  // namespace outlook
