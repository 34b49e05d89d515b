#include "removal/in_use.h"

#include <windows.h>
#include <restartmanager.h>

#include "base/module.h"
#include "base/unique_any.h"

namespace removal {

namespace {

using StartSession = DWORD(WINAPI*)(DWORD* session, DWORD flags, WCHAR* key);
using RegisterResources = DWORD(WINAPI*)(DWORD session, UINT files, LPCWSTR* names, UINT processes,
                                         RM_UNIQUE_PROCESS* process_list, UINT services,
                                         LPCWSTR* service_names);
using GetList = DWORD(WINAPI*)(DWORD session, UINT* needed, UINT* count, RM_PROCESS_INFO* list,
                               DWORD* reasons);
using EndSession = DWORD(WINAPI*)(DWORD session);

// A session is ended through the library that started it; 0 is a valid session number.
struct Session {
  DWORD number = 0;
  EndSession end = nullptr;
  bool operator==(const Session&) const = default;
};
struct SessionTraits {
  using type = Session;
  static type empty() { return {}; }
  static void close(type session) { session.end(session.number); }
};
using unique_session = base::unique_any<SessionTraits>;

// More holders than these make the list answer ERROR_MORE_DATA and fill nothing: the file is
// then only said to be in use.
constexpr UINT most_holders = 8;

std::string holder_text(const RM_PROCESS_INFO& holder) {
  // Each wide character of the name may take two bytes in a double-byte code page.
  char name[2 * (CCH_RM_MAX_APP_NAME + 1)];
  if (WideCharToMultiByte(CP_ACP, 0, holder.strAppName, -1, name, sizeof name, nullptr, nullptr) ==
      0)
    name[0] = '\0';
  return std::string(name) + " (process " + std::to_string(holder.Process.dwProcessId) + ")";
}

}  // namespace

std::string holders_of(const char* path) {
  const base::unique_hmodule library(base::load_system_library("rstrtmgr.dll"));
  if (!library) return {};
  const auto start = base::module_entry<StartSession>(library.get(), "RmStartSession");
  const auto register_file =
      base::module_entry<RegisterResources>(library.get(), "RmRegisterResources");
  const auto list = base::module_entry<GetList>(library.get(), "RmGetList");
  const auto end = base::module_entry<EndSession>(library.get(), "RmEndSession");
  if (start == nullptr || register_file == nullptr || list == nullptr || end == nullptr) return {};

  WCHAR wide_path[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide_path, MAX_PATH) == 0) return {};
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  DWORD number = 0;
  if (start(&number, 0, key) != ERROR_SUCCESS) return {};
  const unique_session session(Session{number, end});

  LPCWSTR files[] = {wide_path};
  if (register_file(number, 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS) return {};
  RM_PROCESS_INFO holders[most_holders];
  UINT needed = 0;
  UINT count = most_holders;
  DWORD reasons = 0;
  if (list(number, &needed, &count, holders, &reasons) != ERROR_SUCCESS) return {};
  std::string text;
  for (UINT i = 0; i < count && i < most_holders; ++i) {
    if (!text.empty()) text += ", ";
    text += holder_text(holders[i]);
  }
  return text;
}

}  // namespace removal
