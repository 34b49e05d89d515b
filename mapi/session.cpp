#include "mapi/session.h"

#include <atomic>

#include "base/module.h"
#include "base/registry.h"
#include "base/unique_any.h"
#include "mapi/folder_form.h"
#include "mapi/identifier_text.h"

namespace mapi {

MapiEntryPoints mapi_entry_points{};

namespace {

constexpr char messaging_subsystem_key[] = "SOFTWARE\\Microsoft\\Windows Messaging Subsystem";
constexpr DWORD detection_buffer_size = 100;

std::atomic<bool> session_left_to_process{false};

// At the process's end, a session that a thread given up may still be using is left alone.
struct HeldSession : std::unique_ptr<MapiSession> {
  using std::unique_ptr<MapiSession>::operator=;
  ~HeldSession() {
    if (session_left_to_process.load()) static_cast<void>(release());
  }
};

HeldSession held_session;
bool mapi_failed = false;
MapiFailure latched_failure;

// Registry data of a string type.
bool is_string_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

bool mapi_is_installed() {
  char buffer[detection_buffer_size];
  DWORD type = REG_NONE, size = 0;
  base::read_registry_string(messaging_subsystem_key, "MAPIX", "0", HKEY_LOCAL_MACHINE, buffer,
                             sizeof buffer, &type, &size);
  return mapix_says_installed(buffer, size, is_string_type(type));
}

template <typename Entry>
bool bind(HMODULE library, const char* name, Entry& entry) {
  entry = base::module_entry<Entry>(library, name);
  return entry != nullptr;
}

}  // namespace

MapiSession::MapiSession() {
  if (!mapi_is_installed()) {
    failure_ = {"detection", 0};
    return;
  }
  library_.reset(base::load_system_library("MAPI32.DLL"));
  if (!library_) {
    failure_ = {"load", HRESULT_FROM_WIN32(GetLastError())};
    return;
  }
  const HMODULE library = library_.get();
  if (!bind(library, "MAPIInitialize", mapi_entry_points.initialize) ||
      !bind(library, "MAPIUninitialize", mapi_entry_points.uninitialize) ||
      !bind(library, "MAPILogonEx", mapi_entry_points.logon_ex) ||
      !bind(library, "MAPIFreeBuffer", mapi_entry_points.free_buffer)) {
    failure_ = {"bind", HRESULT_FROM_WIN32(GetLastError())};
    return;
  }
  // A 32-bit library may export it by its decorated name only.
  if (!bind(library, "MAPIOpenFormMgr", mapi_entry_points.open_form_mgr))
    bind(library, "MAPIOpenFormMgr@8", mapi_entry_points.open_form_mgr);
  MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_MULTITHREAD_NOTIFICATIONS};
  const HRESULT result = mapi_entry_points.initialize(&init);
  if (result == S_OK)
    state_ = initialised;
  else
    failure_ = {"initialise", result};
}

void MapiSession::logon(ULONG_PTR ui_param, ULONG flags, const char* profile,
                        const char* password) {
  if (state_ != initialised) throw SESSION_NOT_READY;
  last_result =
      mapi_entry_points.logon_ex(ui_param, const_cast<LPSTR>(profile), const_cast<LPSTR>(password),
                                 flags | MAPI_EXTENDED, session_.put());
  if (FAILED(last_result)) {
    session_.release();  // whatever a failed logon left there is not ours
    failure_ = {"logon", last_result};
  }
  check_result();
  state_ = logged_on;
}

std::unique_ptr<MapiStore> MapiSession::open_msg_store(const char* store_id_text, ULONG flags) {
  if (!session_) throw SESSION_NOT_READY;
  if (store_id_text == nullptr) throw MAPI_CALL_FAILED;
  base::unique_com<IMsgStore> store;
  {
    const IdentifierBytes id = hex_to_bytes(store_id_text);
    last_result = session_.get()->OpenMsgStore(0, static_cast<ULONG>(id.size),
                                               reinterpret_cast<LPENTRYID>(id.bytes.get()), nullptr,
                                               flags, store.put());
  }
  check_result();
  return std::make_unique<MapiStore>(std::move(store));
}

HRESULT MapiSession::open_form_manager(base::unique_com<IMAPIFormMgr>& manager) {
  if (!session_) return MAPI_E_NOT_INITIALIZED;
  if (!has_form_manager()) return MAPI_E_NO_SUPPORT;
  last_result = mapi_entry_points.open_form_mgr(session_.get(), manager.put());
  if (FAILED(last_result)) manager.release();  // whatever a failed call left there is not ours
  return last_result;
}

void MapiSession::shut_down() {
  if (session_) {
    session_.get()->Logoff(0, 0, 0);
    session_.reset();
  }
  if (state_ != not_initialised) {
    state_ = not_initialised;
    mapi_entry_points.uninitialize();
  }
  if (library_) {
    mapi_entry_points = MapiEntryPoints{};
    library_.reset();
  }
}

MapiSession* get_mapi_session() {
  if (held_session != nullptr) return held_session.get();
  if (mapi_failed) return nullptr;
  try {
    held_session = std::make_unique<MapiSession>();
    if (!held_session->is_ready()) throw SESSION_NOT_READY;
    held_session->logon(0, MAPI_NO_MAIL, nullptr, nullptr);
  } catch (...) {
    mapi_failed = true;
    // Only the making of the object itself fails without a stage of its own.
    latched_failure =
        held_session != nullptr ? held_session->failure() : MapiFailure{"session", E_OUTOFMEMORY};
    release_mapi_session();
  }
  return held_session.get();
}

bool mapi_session_exists() { return held_session != nullptr; }

MapiFailure mapi_failure() { return mapi_failed ? latched_failure : MapiFailure{}; }

void release_mapi_session() { held_session.reset(); }

void leave_mapi_session_to_process() { session_left_to_process.store(true); }

}  // namespace mapi
