#include "mapi/folder_form.h"

#include <cstdlib>

#include "base/unique_any.h"
#include "mapi/identifier_text.h"

namespace mapi {

#ifndef _WIN64
static_assert(sizeof(SPropValue) == 16);
#endif

IUnknown* MapiStore::open_entry(const char* entry_id_text, ULONG flags, ULONG expected_type) {
  if (entry_id_text == nullptr) throw MAPI_CALL_FAILED;
  ULONG object_type = 0;
  base::unique_com<IUnknown> object;
  {
    const IdentifierBytes id = hex_to_bytes(entry_id_text);
    last_result = store_.get()->OpenEntry(static_cast<ULONG>(id.size),
                                          reinterpret_cast<LPENTRYID>(id.bytes.get()), nullptr,
                                          flags, &object_type, object.put());
  }
  check_result();
  if (object_type != expected_type) throw WRONG_OBJECT_TYPE;
  return object.release();
}

std::unique_ptr<MapiFolder> MapiStore::open_folder(const char* entry_id_text, ULONG flags) {
  // Opened without an interface asked for, the entry is the folder itself, an IMAPIProp.
  base::unique_com<IMAPIProp> folder(
      static_cast<IMAPIProp*>(open_entry(entry_id_text, flags, MAPI_FOLDER)));
  return std::make_unique<MapiFolder>(std::move(folder));
}

void MapiFolder::set_props(const PropValueArray& values) {
  unique_mapi_buffer<SPropProblemArray> problems;
  last_result = folder_.get()->SetProps(values.count(), values.values(), problems.put());
  check_result();
  // A property refused by itself leaves SetProps a success as a whole.
  if (problems && problems.get()->cProblem != 0) throw MAPI_CALL_FAILED;
}

PropValueArray::PropValueArray(ULONG count)
    : values_(static_cast<SPropValue*>(std::calloc(count, sizeof(SPropValue)))),
      count_(count),
      owned_(true) {
  if (values_ == nullptr && count != 0) throw MAPI_CALL_FAILED;
}

PropValueArray::~PropValueArray() {
  if (owned_)
    std::free(values_);
  else if (values_ != nullptr && mapi_entry_points.free_buffer != nullptr)
    mapi_entry_points.free_buffer(values_);
}

void PropValueArray::fill(ULONG index, ULONG tag, const char* text) {
  values_[index].ulPropTag = tag;
  values_[index].Value.lpszA = const_cast<LPSTR>(text);
}

bool set_folder_default_form(const char* store_id_text, const char* folder_entry_id_text,
                             const char* message_class, const char* display_name) {
  // Declared in this order so that on every path the folder goes before the store; the array
  // goes before both, with the block that made it.
  std::unique_ptr<MapiStore> store;
  std::unique_ptr<MapiFolder> folder;
  try {
    MapiSession* session = get_mapi_session();
    if (session == nullptr) return false;
    PropValueArray values(2);
    store = session->open_msg_store(store_id_text, store_flags);
    folder = store->open_folder(folder_entry_id_text, MAPI_MODIFY);
    values.fill(0, PR_DEF_POST_MSGCLASS, message_class);
    values.fill(1, PR_DEF_POST_DISPLAYNAME, display_name);
    folder->set_props(values);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace mapi
