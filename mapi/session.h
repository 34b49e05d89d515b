#pragma once
// The process-wide Extended MAPI session: detected from the registry, bound at run time,
// made on first demand and, once it has failed, never tried again in this process.

#include <windows.h>
#include <mapix.h>
#include <mapiform.h>

#include <memory>

#include "base/unique_any.h"

namespace mapi {

// The failures the MAPI side raises; they never leave it.
enum ERROR_CODE {
  MAPI_CALL_FAILED = 13,   // a call through a holder returned a negative result
  WRONG_OBJECT_TYPE = 14,  // an opened entry is not of the type asked for
  SESSION_NOT_READY = 15,  // logon asked of a session that is not initialised
};

// The base of every MAPI holder: the result of the last call made through it.
class MapiObject {
 public:
  void check_result() const {
    if (last_result < 0) throw MAPI_CALL_FAILED;
  }

 protected:
  HRESULT last_result = S_OK;
};

// MAPI's entry points, one set for the process, valid while MAPI32.DLL stays loaded.
struct MapiEntryPoints {
  LPMAPIINITIALIZE initialize;
  LPMAPIUNINITIALIZE uninitialize;
  LPMAPILOGONEX logon_ex;
  LPMAPIFREEBUFFER free_buffer;
  // The form manager's, where the library has it: not every MAPI32.DLL does.
  HRESULT(STDAPICALLTYPE* open_form_mgr)(LPMAPISESSION session, LPMAPIFORMMGR* manager);
};
extern MapiEntryPoints mapi_entry_points;

// A block that MAPI allocated, given back through MAPIFreeBuffer.
template <typename Block>
struct MapiBufferTraits {
  using type = Block*;
  static type empty() { return nullptr; }
  static void close(type block) {
    if (mapi_entry_points.free_buffer != nullptr) mapi_entry_points.free_buffer(block);
  }
};
template <typename Block>
using unique_mapi_buffer = base::unique_any<MapiBufferTraits<Block>>;

class MapiStore;

// Why no session could be had: the stage that failed and its code, an HRESULT (a Win32 error
// as one for the library's load and binding; 0 for detection). No stage: none failed.
struct MapiFailure {
  const char* stage = nullptr;
  long code = 0;
};

class MapiSession : public MapiObject {
 public:
  enum State { logged_on = 0, initialised = 1, not_initialised = 2 };

  // Detects, loads, binds and initialises; the outcome is the state. Raises nothing.
  MapiSession();
  MapiSession(const MapiSession&) = delete;
  MapiSession& operator=(const MapiSession&) = delete;
  ~MapiSession() { shut_down(); }

  bool is_ready() const { return state_ == initialised; }
  const MapiFailure& failure() const { return failure_; }
  int state() const { return state_; }
  void logon(ULONG_PTR ui_param, ULONG flags, const char* profile, const char* password);
  // Opens the store named by hexadecimal identifier text.
  std::unique_ptr<MapiStore> open_msg_store(const char* store_id_text, ULONG flags);
  // Whether the library offers a form manager at all.
  bool has_form_manager() const { return mapi_entry_points.open_form_mgr != nullptr; }
  // The session's form manager: S_OK with it, or why not.
  HRESULT open_form_manager(base::unique_com<IMAPIFormMgr>& manager);
  // Logs off, gives the session back, ends MAPI and unloads it; a second call does nothing.
  void shut_down();

 private:
  int state_ = not_initialised;
  MapiFailure failure_;
  base::unique_hmodule library_;
  base::unique_com<IMAPISession> session_;
};

// The logged-on session, or null when MAPI is unavailable. Raises nothing.
MapiSession* get_mapi_session();
bool mapi_session_exists();
// Why the process's session could not be had, from the attempt that latched the failure.
MapiFailure mapi_failure();
void release_mapi_session();
// The thread that made the session was given up: what it holds is never released, not even
// when the process ends.
void leave_mapi_session_to_process();

}  // namespace mapi
