#include "mapi/form_library.h"

#include <memory>

#include "base/unique_any.h"
#include "mapi/folder_form.h"
#include "mapi/session.h"

namespace mapi {

namespace {

// The library's container, and the folder it belongs to for a folder's library; the folder and
// the store go after the container.
struct OpenedLibrary {
  std::unique_ptr<MapiStore> store;
  base::unique_com<IUnknown> folder;
  base::unique_com<IMAPIFormContainer> container;
};

HRESULT open_library(HFRMREG library, const char* store_id_text, const char* folder_entry_id_text,
                     OpenedLibrary& opened) {
  MapiSession* const session = get_mapi_session();
  if (session == nullptr) return MAPI_E_NOT_INITIALIZED;
  base::unique_com<IMAPIFormMgr> manager;
  if (const HRESULT result = session->open_form_manager(manager); FAILED(result)) return result;
  if (library == HFRMREG_FOLDER) {
    try {
      opened.store = session->open_msg_store(store_id_text, store_flags);
      opened.folder.reset(opened.store->open_entry(folder_entry_id_text, 0, MAPI_FOLDER));
    } catch (...) {
      return MAPI_E_NOT_FOUND;
    }
  }
  const HRESULT result =
      manager.get()->OpenFormContainer(library, opened.folder.get(), opened.container.put());
  if (FAILED(result)) opened.container.release();
  return result;
}

// S_OK when the library holds a form of exactly the class, MAPI_E_NOT_FOUND when it does not,
// or the failure to ask.
HRESULT resolved(IMAPIFormContainer* container, const char* message_class) {
  base::unique_com<IMAPIFormInfo> info;
  const HRESULT result =
      container->ResolveMessageClass(message_class, MAPIFORM_EXACTMATCH, info.put());
  if (FAILED(result)) {
    info.release();
    return result;
  }
  return info ? S_OK : MAPI_E_CALL_FAILED;
}

}  // namespace

bool form_manager_available() {
  MapiSession* const session = get_mapi_session();
  return session != nullptr && session->has_form_manager();
}

FormOutcome remove_form(HFRMREG library, const char* message_class, const char* store_id_text,
                        const char* folder_entry_id_text) {
  OpenedLibrary opened;
  const HRESULT result = open_library(library, store_id_text, folder_entry_id_text, opened);
  if (FAILED(result)) return {FormResult::failed, result};
  IMAPIFormContainer* const container = opened.container.get();
  const HRESULT before = resolved(container, message_class);
  if (before == MAPI_E_NOT_FOUND) return {FormResult::absent, before};
  if (before != S_OK) return {FormResult::failed, before};
  const HRESULT removed = container->RemoveForm(message_class);
  // A success that left the form (MAPI_W_PARTIAL_COMPLETION is one) is no removal: only the
  // library's own word that it is gone counts.
  const HRESULT after = resolved(container, message_class);
  if (after == MAPI_E_NOT_FOUND) return {FormResult::removed, removed};
  return {FormResult::left, removed != S_OK ? removed : after};
}

bool holds_form(HFRMREG library, const char* message_class) {
  OpenedLibrary opened;
  return SUCCEEDED(open_library(library, nullptr, nullptr, opened)) &&
         resolved(opened.container.get(), message_class) == S_OK;
}

}  // namespace mapi
