#pragma once
// The write of a folder's default post form, the folder named by the hexadecimal store and
// entry identifiers that Outlook reports.

#include <windows.h>
#include <mapix.h>

#include <memory>
#include <utility>

#include "base/unique_any.h"

#include "mapi/session.h"

namespace mapi {

inline constexpr ULONG PR_DEF_POST_MSGCLASS = 0x36E5001E;
inline constexpr ULONG PR_DEF_POST_DISPLAYNAME = 0x36E6001E;
// The store is opened for writing, without the mail spooler.
inline constexpr ULONG store_flags = MDB_WRITE | MDB_NO_MAIL;

class MapiFolder;

class MapiStore : public MapiObject {
 public:
  explicit MapiStore(base::unique_com<IMsgStore> store) : store_(std::move(store)) {}

  // Opens the entry named by hexadecimal text; the reference returned is the caller's.
  IUnknown* open_entry(const char* entry_id_text, ULONG flags, ULONG expected_type);
  std::unique_ptr<MapiFolder> open_folder(const char* entry_id_text, ULONG flags);

 private:
  base::unique_com<IMsgStore> store_;
};

class PropValueArray;

class MapiFolder : public MapiObject {
 public:
  explicit MapiFolder(base::unique_com<IMAPIProp> folder) : folder_(std::move(folder)) {}

  // Raises MAPI_CALL_FAILED also when SetProps reports a problem with any property.
  void set_props(const PropValueArray& values);

 private:
  base::unique_com<IMAPIProp> folder_;
};

// Property values handed to MAPI; a block the program allocated goes back to the program's
// allocator, one MAPI allocated back through MAPIFreeBuffer.
class PropValueArray {
 public:
  explicit PropValueArray(ULONG count);  // zeroed entries, owned
  PropValueArray(const PropValueArray&) = delete;
  PropValueArray& operator=(const PropValueArray&) = delete;
  ~PropValueArray();

  // The text is not copied: it must outlive the array's use. index stays below count.
  void fill(ULONG index, ULONG tag, const char* text);

  SPropValue* values() const { return values_; }
  ULONG count() const { return count_; }

 private:
  SPropValue* values_;
  ULONG count_;
  bool owned_;
};

// Makes message_class with display_name the default form of the folder. True when both
// properties were set; false on any failure, an absent identifier included. Raises nothing.
bool set_folder_default_form(const char* store_id_text, const char* folder_entry_id_text,
                             const char* message_class, const char* display_name);

}  // namespace mapi
