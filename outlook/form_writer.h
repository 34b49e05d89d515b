#pragma once
// A folder's default form written through Outlook's own object model, across the process
// boundary and whatever Outlook's bitness: Folder.PropertyAccessor.SetProperties (Outlook 2007
// and later). The way for folders that Extended MAPI cannot write.

#include <windows.h>

#include "outlook/dispatch_ptr.h"
#include "outlook/members.h"

namespace outlook {

// The default form's properties as Outlook's PropertyAccessor names them (Unicode strings).
inline constexpr char message_class_schema[] =
    "http://schemas.microsoft.com/mapi/proptag/0x36E5001F";
inline constexpr char display_name_schema[] =
    "http://schemas.microsoft.com/mapi/proptag/0x36E6001F";

// Lives for one run of the Outlook step. Both members are bound by name (GetIDsOfNames, LCID
// 0) at their first use and the DISPIDs kept; a name that does not bind makes the way
// unavailable for the rest of the run, without further attempts.
class OutlookFormWriter {
 public:
  // Binds PropertyAccessor on this folder the first time; false when Outlook has none.
  bool available(const DispatchPtr& folder);
  // True when both properties were written. Raises nothing.
  bool write(const DispatchPtr& folder, const char* message_class, const char* display_name);

 private:
  BoundMember accessor_{L"PropertyAccessor"};
  BoundMember set_properties_{L"SetProperties"};
};

// True when SetProperties' answer reports no property as failed: nothing, or an array whose
// every element is empty or S_OK.
bool every_property_set(const VARIANT& answer);

}  // namespace outlook
