#pragma once
// A form's removal from a forms library through Extended MAPI: the library resolves the class
// exactly (never a base class's form, never through the default registry that searches every
// library), removes it, and is asked again; only a form then not found counts as removed.

#include <windows.h>
#include <mapiform.h>

namespace mapi {

// The organization's library (Exchange's public folders), which mingw-w64's header does not
// name. Only ever looked in.
inline constexpr HFRMREG organization_forms = 4;

enum class FormResult {
  removed,  // it was there and is gone
  absent,   // none of the class was there
  left,     // removed in vain: a refusal, or a success that left it
  failed,   // the library could not be opened or asked
};

struct FormOutcome {
  FormResult result = FormResult::failed;
  HRESULT code = S_OK;  // the refusal's, the failure's, or the last answer's
};

// Whether the process's MAPI session offers a form manager. Raises nothing.
bool form_manager_available();

// Removes the form of exactly message_class from the library: HFRMREG_PERSONAL or
// HFRMREG_LOCAL, or HFRMREG_FOLDER with the folder named by the hexadecimal identifiers that
// Outlook reports. Raises nothing.
FormOutcome remove_form(HFRMREG library, const char* message_class,
                        const char* store_id_text = nullptr,
                        const char* folder_entry_id_text = nullptr);

// Whether the library holds a form of exactly message_class; nothing is removed. Raises nothing.
bool holds_form(HFRMREG library, const char* message_class);

}  // namespace mapi
