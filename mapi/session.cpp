#include "mapi/session.h"

#include "app/unique_any.h"
#include "mapi/folder_form.h"
#include "mapi/identifier_text.h"

namespace mapi {

MapiEntryPoints mapi_entry_points{};

namespace {

constexpr char messaging_subsystem_key[] = "SOFTWARE\\Microsoft\\Windows Messaging Subsystem";
constexpr DWORD detection_buffer_size = 100;

std::unique_ptr<MapiSession> held_session;
bool mapi_failed = false;

// Registry data of a string type.
bool is_string_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

bool mapi_is_installed() {
  char buffer[detection_buffer_size];
  DWORD type = REG_NONE, size = 0;
  read_registry_string(messaging_subsystem_key, "MAPIX", "0", HKEY_LOCAL_MACHINE, buffer,
                       sizeof buffer, &type, &size);
  return mapix_says_installed(buffer, size, is_string_type(type));
}

template <typename Entry>
bool bind(HMODULE library, const char* name, Entry& entry) {
  entry = app::module_entry<Entry>(library, name);
  return entry != nullptr;
}

}  // namespace

char* read_registry_string(const char* key_path, const char* value_name, const char* default_text,
                           HKEY root_key, char* buffer, DWORD buffer_size, DWORD* read_type,
                           DWORD* read_size) {
  const auto use_default = [&] {
    lstrcpynA(buffer, default_text, static_cast<int>(buffer_size));
    if (read_type != nullptr) *read_type = REG_NONE;
    if (read_size != nullptr) *read_size = 0;
    return buffer;
  };
  use_default();
  app::unique_hkey key;
  if (RegOpenKeyExA(root_key, key_path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
    key.release();
    return use_default();
  }
  DWORD type = REG_NONE, size = buffer_size;
  if (RegQueryValueExA(key.get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                       &size) != ERROR_SUCCESS)
    return use_default();
  if (read_type != nullptr) *read_type = type;
  if (read_size != nullptr) *read_size = size;
  return buffer;
}

MapiSession::MapiSession() {
  if (!mapi_is_installed()) return;
  library_ = app::load_system_library("MAPI32.DLL");
  if (library_ == nullptr) return;
  if (!bind(library_, "MAPIInitialize", mapi_entry_points.initialize) ||
      !bind(library_, "MAPIUninitialize", mapi_entry_points.uninitialize) ||
      !bind(library_, "MAPILogonEx", mapi_entry_points.logon_ex) ||
      !bind(library_, "MAPIFreeBuffer", mapi_entry_points.free_buffer))
    return;
  MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_MULTITHREAD_NOTIFICATIONS};
  if (mapi_entry_points.initialize(&init) == S_OK) state_ = initialised;
}

void MapiSession::logon(ULONG_PTR ui_param, ULONG flags, const char* profile,
                        const char* password) {
  if (state_ != initialised) throw SESSION_NOT_READY;
  IMAPISession* session = nullptr;
  last_result =
      mapi_entry_points.logon_ex(ui_param, const_cast<LPSTR>(profile), const_cast<LPSTR>(password),
                                 flags | MAPI_EXTENDED, &session);
  session_ = SUCCEEDED(last_result) ? session : nullptr;
  check_result();
  state_ = logged_on;
}

std::unique_ptr<MapiStore> MapiSession::open_msg_store(const char* store_id_text, ULONG flags) {
  if (session_ == nullptr) throw SESSION_NOT_READY;
  if (store_id_text == nullptr) throw MAPI_CALL_FAILED;
  app::unique_com<IMsgStore> store;
  {
    const IdentifierBytes id = hex_to_bytes(store_id_text);
    last_result = session_->OpenMsgStore(0, static_cast<ULONG>(id.size),
                                         reinterpret_cast<LPENTRYID>(id.bytes.get()), nullptr,
                                         flags, store.put());
  }
  check_result();
  return std::make_unique<MapiStore>(std::move(store));
}

void MapiSession::shut_down() {
  if (IMAPISession* session = std::exchange(session_, nullptr)) {
    session->Logoff(0, 0, 0);
    session->Release();
  }
  if (state_ != not_initialised) {
    state_ = not_initialised;
    mapi_entry_points.uninitialize();
  }
  if (HMODULE library = std::exchange(library_, nullptr)) {
    mapi_entry_points = MapiEntryPoints{};
    FreeLibrary(library);
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
    release_mapi_session();
  }
  return held_session.get();
}

bool mapi_session_exists() { return held_session != nullptr; }

void release_mapi_session() { held_session.reset(); }

}  // namespace mapi
