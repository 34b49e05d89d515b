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
constexpr DISPID get_item_from_id_id = 0x2109;
// Outlook 2007's table of a folder's items and its parts.
constexpr DISPID get_table_id = 0xFB1D;
constexpr DISPID get_next_row_id = 0x57;
constexpr DISPID end_of_table_id = 0xFB1F;
constexpr DISPID columns_id = 0xFB93;
constexpr DISPID add_id = 0x5F;
constexpr DISPID remove_all_id = 0x53;
constexpr DISPID name_id = 0x2102;
// Members for the forms libraries, bound by name by the program: the stand-in's own DISPIDs.
constexpr DISPID default_store_id = 0x2116;
constexpr DISPID get_folder_from_id_id = 0x2108;
constexpr DISPID get_storage_id = 0xFA7F;
constexpr DISPID delete_id = 0xF04A;
constexpr DISPID get_property_id = 0xFA6A;
constexpr DISPID binary_to_string_id = 0xFA6B;

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
// MAPI_E_NOT_FOUND, which answers for a property that Outlook does not know, and for an
// EntryID that names no item.
constexpr HRESULT property_not_found = static_cast<HRESULT>(0x8004010F);
// Folder.GetTable's contents: the folder's items, or its hidden ones.
constexpr LONG user_items = 0;
constexpr LONG hidden_items = 1;
// Folder.GetStorage's identifier: an EntryID (a message class would make an item if none).
constexpr LONG storage_by_entry_id = 1;
// A published form's hidden item: its class, and the property that names the form's class.
constexpr char forms_description_class[] = "IPM.Microsoft.FolderDesign.FormsDescription";
constexpr char form_class_column[] = "http://schemas.microsoft.com/mapi/proptag/0x6800001F";
// PR_COMMON_VIEWS_ENTRYID, as a store's PropertyAccessor names it.
constexpr char common_views_schema[] = "http://schemas.microsoft.com/mapi/proptag/0x35E60102";
// A store's Common Views folder (outside the folders Outlook lists): its EntryID is made from
// the store root's.
std::string common_views_entry_id(const Profile& profile, std::uint32_t root) {
  return "C0FFEE" + profile.folders()[root].entry_id;
}

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

// What a table holds: which items are its rows and what each of its columns reads. The rows
// are found afresh at every call, as a table is a dynamic rowset in Outlook: an item changed so
// that it no longer matches leaves the table at once. A folder's items are one such contents; a
// folder's hidden items would be another class of these.
class TableContents {
 public:
  virtual ~TableContents() = default;
  // The table's name in the log and in rules is "Table:<path>", its rows' "Row:<path>#<n>".
  const std::string& path() const { return path_; }
  // The rows now, each the number of the item it stands for, from 1.
  virtual std::vector<std::uint32_t> rows(const Profile& profile) const = 0;
  // The columns a new table has, in order.
  virtual std::vector<std::string> default_columns() const = 0;
  // A column the rows have, as its name is spelt here; nothing for one they do not have. Names
  // are compared without regard to ASCII case.
  virtual std::optional<std::string> column(const std::string& name) const = 0;
  // A column's value in one row; nothing stands for an empty value.
  virtual ClassText value(const Profile& profile, std::uint32_t row,
                          const std::string& column) const = 0;

 protected:
  explicit TableContents(std::string path) : path_(std::move(path)) {}

 private:
  std::string path_;
};

// A folder's items, all of them or those of one class compared without regard to case, as
// Outlook's filter compares. The profile knows an item's class and EntryID, not its subject or
// times: those columns of Outlook's are not there.
class FolderItems : public TableContents {
 public:
  FolderItems(const Profile& profile, std::uint32_t folder, std::optional<std::string> filter)
      : TableContents(profile.folders()[folder].path), folder_(folder), class_(std::move(filter)) {}

  std::vector<std::uint32_t> rows(const Profile& profile) const override {
    std::vector<std::uint32_t> numbers;
    const std::vector<std::uint32_t>& items = profile.folders()[folder_].items;
    for (std::size_t at = 0; at < items.size(); ++at) {
      if (!class_ ||
          (items[at] != Profile::no_text && same_member_name(profile.text(items[at]), *class_)))
        numbers.push_back(std::uint32_t(at + 1));
    }
    return numbers;
  }
  std::vector<std::string> default_columns() const override {
    return {entry_id_column, message_class_column};
  }
  std::optional<std::string> column(const std::string& name) const override {
    for (const char* known : {entry_id_column, message_class_column})
      if (same_member_name(known, name)) return known;
    return std::nullopt;
  }
  ClassText value(const Profile& profile, std::uint32_t row,
                  const std::string& column) const override {
    if (column == entry_id_column) return profile.item_entry_id(folder_, row);
    return class_text(profile, profile.folders()[folder_].items[row - 1]);
  }

 private:
  static constexpr const char* entry_id_column = "EntryID";
  static constexpr const char* message_class_column = "MessageClass";
  std::uint32_t folder_;
  std::optional<std::string> class_;  // none: every item
};

// A forms library's hidden items: the personal library's in its store's Common Views folder
// (the default store's alone), or a folder's own. Each is a published form that has not been
// removed, of class IPM.Microsoft.FolderDesign.FormsDescription, with the form's class in
// property 0x6800; a filter on the class compares without regard to case, as Outlook's does.
struct LibraryScope {
  bool personal = false;
  std::uint32_t folder = Profile::no_folder;  // the folder's library, or the Common Views' store

  std::string path(const Profile& profile) const {
    return (personal ? "CommonViews:" : "hidden:") + profile.folders()[folder].path;
  }
  bool holds(const Profile& profile, const Profile::Form& form) const {
    if (form.removed) return false;
    if (personal)
      return form.library == Profile::FormLibrary::personal && folder == profile.roots().front();
    return form.library == Profile::FormLibrary::folder && form.folder == folder;
  }
  // The form of that EntryID here, from 0; nothing for none.
  std::optional<std::size_t> form_of(const Profile& profile, const std::string& entry_id) const {
    const auto& forms = profile.forms();
    for (std::size_t at = 0; at < forms.size(); ++at)
      if (holds(profile, forms[at]) && same_member_name(forms[at].entry_id, entry_id)) return at;
    return std::nullopt;
  }
};

class LibraryForms : public TableContents {
 public:
  LibraryForms(const Profile& profile, LibraryScope scope, std::optional<std::string> filter)
      : TableContents(scope.path(profile)), scope_(scope), class_(std::move(filter)) {}

  std::vector<std::uint32_t> rows(const Profile& profile) const override {
    std::vector<std::uint32_t> numbers;
    if (class_ && !same_member_name(*class_, forms_description_class)) return numbers;
    for (std::size_t at = 0; at < profile.forms().size(); ++at)
      if (scope_.holds(profile, profile.forms()[at])) numbers.push_back(std::uint32_t(at + 1));
    return numbers;
  }
  std::vector<std::string> default_columns() const override {
    return {entry_id_column, message_class_column};
  }
  std::optional<std::string> column(const std::string& name) const override {
    for (const char* known : {entry_id_column, message_class_column, form_class_column})
      if (same_member_name(known, name)) return known;
    return std::nullopt;
  }
  ClassText value(const Profile& profile, std::uint32_t row,
                  const std::string& column) const override {
    const Profile::Form& form = profile.forms()[row - 1];
    if (column == entry_id_column) return form.entry_id;
    if (column == message_class_column) return std::string(forms_description_class);
    return profile.text(form.message_class);
  }

 private:
  static constexpr const char* entry_id_column = "EntryID";
  static constexpr const char* message_class_column = "MessageClass";
  LibraryScope scope_;
  std::optional<std::string> class_;
};

// A table as its Columns object shares it: the contents, the columns asked for, and how many
// rows GetNextRow has handed out.
struct TableState {
  std::shared_ptr<const TableContents> contents;
  std::vector<std::string> columns;
  // A count, not a place among the rows: a row that leaves the table before the cursor moves
  // the ones after it up, so that a caller who changes rows while it reads them misses some.
  std::size_t handed_out = 0;
};

// A column index as Row.Item and Columns.Item take it: a number from 1 or a name. Nothing for
// one that names no column.
std::optional<std::size_t> column_at(const std::vector<std::string>& columns,
                                     const VARIANT& index) {
  if (index.vt == VT_I4) {
    if (index.lVal < 1 || std::size_t(index.lVal) > columns.size()) return std::nullopt;
    return std::size_t(index.lVal) - 1;
  }
  const std::string name = text_from(index.bstrVal);
  for (std::size_t at = 0; at < columns.size(); ++at)
    if (same_member_name(columns[at], name)) return at;
  return std::nullopt;
}

class Column : public DispatchObject {
 public:
  Column(std::shared_ptr<Profile> profile, const std::string& path, std::string column)
      : DispatchObject("Column:" + path + ":" + column, std::move(profile)),
        column_(std::move(column)) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {{name_id, "Name", kind_get, Arguments::none}};
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"Name"};
    return names;
  }
  HRESULT perform(const Member&, const DISPPARAMS&, VARIANT* result) override {
    return give_text(result, column_);
  }

 private:
  std::string column_;
};

// A table's columns: a column added is in every row handed out from then on.
class Columns : public DispatchObject {
 public:
  Columns(std::shared_ptr<Profile> profile, std::shared_ptr<TableState> table)
      : DispatchObject("Columns:" + table->contents->path(), std::move(profile)),
        table_(std::move(table)) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {count_id, "Count", kind_get, Arguments::none},
        {item_id, "Item", kind_method, Arguments::index},
        {add_id, "Add", kind_method, Arguments::text},
        {remove_all_id, "RemoveAll", kind_method, Arguments::none},
    };
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"Count", "Item", "Add", "RemoveAll"};
    return names;
  }

  HRESULT perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) override {
    std::vector<std::string>& columns = table_->columns;
    const std::string& path = table_->contents->path();
    switch (member.id) {
      case count_id:
        return give_number(result, LONG(columns.size()));
      case item_id: {
        const std::optional<std::size_t> at = column_at(columns, parameters.rgvarg[0]);
        if (!at) return DISP_E_BADINDEX;
        return give_object<Column>(result, shared_profile(), path, columns[*at]);
      }
      case add_id: {
        const std::optional<std::string> column =
            table_->contents->column(text_from(parameters.rgvarg[0].bstrVal));
        if (!column) return E_INVALIDARG;
        if (!column_at(columns, parameters.rgvarg[0])) columns.push_back(*column);
        return give_object<Column>(result, shared_profile(), path, *column);
      }
      case remove_all_id:
        columns.clear();
        return S_OK;
    }
    return E_UNEXPECTED;
  }

 private:
  std::shared_ptr<TableState> table_;
};

// One row as it was when it was handed out: its columns' values then.
class Row : public DispatchObject {
 public:
  Row(std::shared_ptr<Profile> profile, const TableState& table, std::uint32_t row)
      : DispatchObject("Row:" + table.contents->path() + "#" + std::to_string(row), profile),
        columns_(table.columns) {
    for (const std::string& column : columns_)
      values_.push_back(table.contents->value(*profile, row, column));
  }

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {{item_id, "Item", kind_method, Arguments::index}};
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"Item"};
    return names;
  }
  HRESULT perform(const Member&, const DISPPARAMS& parameters, VARIANT* result) override {
    const std::optional<std::size_t> at = column_at(columns_, parameters.rgvarg[0]);
    if (!at) return DISP_E_BADINDEX;
    if (!values_[*at]) return S_OK;  // an empty value: VT_EMPTY
    return give_text(result, values_[*at]);
  }

 private:
  std::vector<std::string> columns_;
  std::vector<ClassText> values_;
};

class Table : public DispatchObject {
 public:
  Table(std::shared_ptr<Profile> profile, std::shared_ptr<const TableContents> contents)
      : DispatchObject("Table:" + contents->path(), std::move(profile)),
        table_(std::make_shared<TableState>()) {
    table_->columns = contents->default_columns();
    table_->contents = std::move(contents);
  }

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {get_next_row_id, "GetNextRow", kind_method, Arguments::none},
        {end_of_table_id, "EndOfTable", kind_get, Arguments::none},
        {columns_id, "Columns", kind_get, Arguments::none},
    };
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"GetNextRow", "EndOfTable", "Columns"};
    return names;
  }

  HRESULT perform(const Member& member, const DISPPARAMS&, VARIANT* result) override {
    const std::vector<std::uint32_t> rows = table_->contents->rows(profile());
    const bool at_end = table_->handed_out >= rows.size();
    switch (member.id) {
      case get_next_row_id:
        if (!at_end)
          return give_object<Row>(result, shared_profile(), *table_, rows[table_->handed_out++]);
        // Past the last row: Nothing.
        if (result != nullptr) {
          result->vt = VT_DISPATCH;
          result->pdispVal = nullptr;
        }
        return S_OK;
      case end_of_table_id:
        if (result != nullptr) {
          result->vt = VT_BOOL;
          result->boolVal = at_end ? VARIANT_TRUE : VARIANT_FALSE;
        }
        return S_OK;
      case columns_id:
        return give_object<Columns>(result, shared_profile(), table_);
    }
    return E_UNEXPECTED;
  }

 private:
  std::shared_ptr<TableState> table_;
};

// A published form's hidden item, as Folder.GetStorage hands it out: Delete unpublishes it.
class StorageItem : public DispatchObject {
 public:
  StorageItem(std::shared_ptr<Profile> profile, const std::string& path, std::size_t form)
      : DispatchObject("StorageItem:" + path + "#" + profile->forms()[form].entry_id, profile),
        form_(form) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {{delete_id, "Delete", kind_method, Arguments::none}};
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"Delete"};
    return names;
  }
  HRESULT perform(const Member&, const DISPPARAMS&, VARIANT*) override {
    if (profile().forms()[form_].removed) return property_not_found;
    profile().remove_form(form_);
    return S_OK;
  }

 private:
  std::size_t form_;
};

// What GetTable and GetStorage do over a forms library's hidden items, the same in a folder and
// in a store's Common Views. The filter, declared first, and the contents: an omitted argument
// takes its default.
HRESULT library_table(const std::shared_ptr<Profile>& profile, const LibraryScope& scope,
                      const DISPPARAMS& parameters, VARIANT* result) {
  std::optional<std::string> message_class;
  if (parameters.cArgs != 0) {
    const VARIANT& filter = parameters.rgvarg[parameters.cArgs - 1];
    if (filter.vt == VT_BSTR && SysStringLen(filter.bstrVal) != 0) {
      message_class = message_class_filter(text_from(filter.bstrVal));
      if (!message_class) return E_INVALIDARG;
    }
  }
  return give_object<Table>(result, profile,
                            std::make_shared<LibraryForms>(*profile, scope, std::move(message_class)));
}

HRESULT library_storage(const std::shared_ptr<Profile>& profile, const LibraryScope& scope,
                        const DISPPARAMS& parameters, VARIANT* result) {
  if (parameters.cArgs != 2 || parameters.rgvarg[1].vt != VT_BSTR ||
      parameters.rgvarg[0].vt != VT_I4)
    return DISP_E_BADPARAMCOUNT;
  // By a message class Outlook hands back an item of that class, making one where none is:
  // never asked for here.
  if (parameters.rgvarg[0].lVal != storage_by_entry_id) return E_NOTIMPL;
  const std::optional<std::size_t> form =
      scope.form_of(*profile, text_from(parameters.rgvarg[1].bstrVal));
  if (!form) return property_not_found;
  return give_object<StorageItem>(result, profile, scope.path(*profile), *form);
}

// A store's Common Views folder: only its hidden items are served.
class CommonViews : public DispatchObject {
 public:
  CommonViews(std::shared_ptr<Profile> profile, std::uint32_t root)
      : DispatchObject("CommonViews:" + profile->folders()[root].path, profile),
        scope_{true, root} {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {get_table_id, "GetTable", kind_method, Arguments::table_arguments},
        {get_storage_id, "GetStorage", kind_method, Arguments::table_arguments},
    };
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"GetTable", "GetStorage"};
    return names;
  }
  HRESULT perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) override {
    if (member.id == get_storage_id)
      return library_storage(shared_profile(), scope_, parameters, result);
    return library_table(shared_profile(), scope_, parameters, result);
  }

 private:
  LibraryScope scope_;
};

// A store's PropertyAccessor: the one property Outlook is asked for here, and the conversion of
// a binary value to text.
class StoreAccessor : public DispatchObject {
 public:
  StoreAccessor(std::shared_ptr<Profile> profile, std::uint32_t root)
      : DispatchObject("StoreAccessor:" + profile->folders()[root].path, profile), root_(root) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {get_property_id, "GetProperty", kind_method, Arguments::text},
        {binary_to_string_id, "BinaryToString", kind_method, Arguments::binary},
    };
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"GetProperty", "BinaryToString"};
    return names;
  }
  HRESULT perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) override {
    if (member.id == binary_to_string_id) {
      const SAFEARRAY* bytes = parameters.rgvarg[0].parray;
      if (bytes == nullptr || bytes->cDims != 1 || bytes->cbElements != 1) return E_INVALIDARG;
      static const char digits[] = "0123456789ABCDEF";
      std::string text;
      for (ULONG at = 0; at < bytes->rgsabound[0].cElements; ++at) {
        const auto byte = static_cast<const unsigned char*>(bytes->pvData)[at];
        text += digits[byte >> 4];
        text += digits[byte & 15];
      }
      return give_text(result, text);
    }
    if (!same_member_name(text_from(parameters.rgvarg[0].bstrVal), common_views_schema))
      return property_not_found;
    const std::string id = common_views_entry_id(profile(), root_);
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, ULONG(id.size() / 2));
    if (bytes == nullptr) return E_OUTOFMEMORY;
    for (std::size_t at = 0; at + 1 < id.size(); at += 2)
      static_cast<unsigned char*>(bytes->pvData)[at / 2] =
          static_cast<unsigned char>(std::stoul(id.substr(at, 2), nullptr, 16));
    if (result == nullptr) {
      SafeArrayDestroy(bytes);
      return S_OK;
    }
    result->vt = VT_ARRAY | VT_UI1;
    result->parray = bytes;
    return S_OK;
  }

 private:
  std::uint32_t root_;
};

class Store : public DispatchObject {
 public:
  Store(std::shared_ptr<Profile> profile, std::uint32_t root)
      : DispatchObject("Store:" + profile->folders()[root].path, profile), root_(root) {}

 protected:
  std::span<const Member> members() const override {
    static constexpr Member table[] = {
        {store_id_id, "StoreID", kind_get, Arguments::none},
        {property_accessor_id, "PropertyAccessor", kind_get, Arguments::none},
    };
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"StoreID", "PropertyAccessor"};
    return names;
  }
  HRESULT perform(const Member& member, const DISPPARAMS&, VARIANT* result) override {
    if (member.id == store_id_id) return give_text(result, profile().store_id(root_));
    return give_object<StoreAccessor>(result, shared_profile(), root_);
  }

 private:
  std::uint32_t root_;
};

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
        {get_table_id, "GetTable", kind_method, Arguments::table_arguments},
        {get_storage_id, "GetStorage", kind_method, Arguments::table_arguments},
    };
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"PropertyAccessor", "GetTable", "GetStorage"};
    return names;
  }

  HRESULT perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) override;

 private:
  HRESULT get_table(const DISPPARAMS& parameters, VARIANT* result);

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

// GetTable's filter, declared first, and its contents: the folder's items of one class (an
// empty or omitted filter: all of them). Other filters and other contents are not served.
HRESULT Folder::get_table(const DISPPARAMS& parameters, VARIANT* result) {
  const auto given = [&parameters](UINT declared) -> const VARIANT* {
    if (declared >= parameters.cArgs) return nullptr;
    const VARIANT& argument = parameters.rgvarg[parameters.cArgs - 1 - declared];
    return argument.vt == VT_ERROR ? nullptr : &argument;
  };
  if (const VARIANT* contents = given(1); contents != nullptr && contents->lVal == hidden_items)
    return library_table(shared_profile(), LibraryScope{false, folder_}, parameters, result);
  if (const VARIANT* contents = given(1); contents != nullptr && contents->lVal != user_items)
    return E_INVALIDARG;
  std::optional<std::string> message_class;
  if (const VARIANT* filter = given(0); filter != nullptr && SysStringLen(filter->bstrVal) != 0) {
    message_class = message_class_filter(text_from(filter->bstrVal));
    if (!message_class) return E_INVALIDARG;
  }
  return give_object<Table>(
      result, shared_profile(),
      std::make_shared<FolderItems>(profile(), folder_, std::move(message_class)));
}

HRESULT Folder::perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) {
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
    case get_table_id:
      return get_table(parameters, result);
    case get_storage_id:
      return library_storage(shared_profile(), LibraryScope{false, folder_}, parameters, result);
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
        {get_item_from_id_id, "GetItemFromID", kind_method, Arguments::text_optional_text},
        {default_store_id, "DefaultStore", kind_get, Arguments::none},
        {get_folder_from_id_id, "GetFolderFromID", kind_method, Arguments::text_optional_text},
    };
    return table;
  }
  std::span<const char* const> names_bound() const override {
    static constexpr const char* names[] = {"DefaultStore", "GetFolderFromID"};
    return names;
  }

  HRESULT perform(const Member& member, const DISPPARAMS& parameters, VARIANT* result) override {
    if (member.id == folders_id)
      return give_object<Folders>(result, shared_profile(), Profile::no_folder);
    if (member.id == default_store_id) {
      if (profile().roots().empty()) return property_not_found;
      return give_object<Store>(result, shared_profile(), profile().roots().front());
    }
    if (member.id == get_folder_from_id_id) return folder_from_id(parameters, result);
    // The item's EntryID declared first, its store's (omitted: any store) second.
    const VARIANT& entry = parameters.rgvarg[parameters.cArgs - 1];
    const bool store_given = parameters.cArgs == 2 && parameters.rgvarg[0].vt == VT_BSTR;
    const std::optional<Profile::ItemPlace> place =
        profile().find_item(store_given ? text_from(parameters.rgvarg[0].bstrVal) : std::string(),
                            text_from(entry.bstrVal));
    if (!place) return property_not_found;
    const std::string& path = profile().folders()[place->folder].path;
    return give_object<Item>(result, "Item:" + path + "#" + std::to_string(place->number),
                             shared_profile(), place->folder, place->number, std::nullopt);
  }

 private:
  // The folder's EntryID declared first, its store's (omitted: any store) second; a store's
  // Common Views folder is found by its own.
  HRESULT folder_from_id(const DISPPARAMS& parameters, VARIANT* result) {
    const std::string entry = text_from(parameters.rgvarg[parameters.cArgs - 1].bstrVal);
    const bool store_given = parameters.cArgs == 2 && parameters.rgvarg[0].vt == VT_BSTR;
    const std::string store = store_given ? text_from(parameters.rgvarg[0].bstrVal) : "";
    const Profile& fixture = profile();
    for (std::uint32_t folder = 0; folder < fixture.folders().size(); ++folder) {
      const std::uint32_t root = fixture.folders()[folder].root;
      if (store_given && !same_member_name(fixture.store_id(root), store)) continue;
      if (folder == root && same_member_name(common_views_entry_id(fixture, root), entry))
        return give_object<CommonViews>(result, shared_profile(), root);
      if (same_member_name(fixture.folders()[folder].entry_id, entry))
        return give_object<Folder>(result, shared_profile(), folder);
    }
    return property_not_found;
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
