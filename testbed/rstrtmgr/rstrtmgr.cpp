// RstrtMgr.DLL stand-in.
//
// Every file registered in a session is held by the programs that RSTRTMGR_HOLDERS names,
// "<name>:<process id>" separated by ";" (none when unset). Each call appends a line to the
// file named by RSTRTMGR_LOG:
//   start session=<n>        RmStartSession; sessions are numbered from 0, as Windows does
//   register session=<n> files=<count> first=<path>
//   list session=<n> room=<count> -> <error>
//   end session=<n>

#include <windows.h>
#include <restartmanager.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

LONG next_session = 0;

std::string variable(const char* name) {
  char value[1024];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length != 0 && length < sizeof value ? std::string(value, length) : std::string();
}

void append_line(const std::string& line) {
  const std::string path = variable("RSTRTMGR_LOG");
  if (path.empty()) return;
  if (FILE* log = std::fopen(path.c_str(), "ab")) {
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
  }
}

struct Holder {
  std::wstring name;
  DWORD process_id;
};

std::vector<Holder> holders() {
  std::vector<Holder> found;
  const std::string text = variable("RSTRTMGR_HOLDERS");
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find(';', at);
    if (end == std::string::npos) end = text.size();
    const std::string entry = text.substr(at, end - at);
    const std::size_t colon = entry.rfind(':');
    if (colon != std::string::npos) {
      const std::string name = entry.substr(0, colon);
      found.push_back({std::wstring(name.begin(), name.end()),
                       static_cast<DWORD>(std::strtoul(entry.c_str() + colon + 1, nullptr, 10))});
    }
    at = end + 1;
  }
  return found;
}

std::string narrow(const WCHAR* text) {
  std::string result;
  for (; text != nullptr && *text != 0; ++text) result += static_cast<char>(*text);
  return result;
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI RmStartSession(DWORD* session, DWORD, WCHAR* key) {
  *session = static_cast<DWORD>(InterlockedIncrement(&next_session) - 1);
  if (key != nullptr) key[0] = 0;
  append_line("start session=" + std::to_string(*session));
  return ERROR_SUCCESS;
}

__declspec(dllexport) DWORD WINAPI RmRegisterResources(DWORD session, UINT files, LPCWSTR* names,
                                                       UINT, RM_UNIQUE_PROCESS*, UINT,
                                                       LPCWSTR*) {
  append_line("register session=" + std::to_string(session) + " files=" + std::to_string(files) +
              " first=" + (files > 0 ? narrow(names[0]) : std::string()));
  return ERROR_SUCCESS;
}

__declspec(dllexport) DWORD WINAPI RmGetList(DWORD session, UINT* needed, UINT* count,
                                             RM_PROCESS_INFO* list, DWORD* reasons) {
  const std::vector<Holder> held = holders();
  const UINT room = *count;
  *needed = static_cast<UINT>(held.size());
  *reasons = RmRebootReasonNone;
  DWORD error = ERROR_SUCCESS;
  if (room < held.size()) {
    error = ERROR_MORE_DATA;
  } else {
    for (std::size_t i = 0; i < held.size(); ++i) {
      RM_PROCESS_INFO& info = list[i];
      info = RM_PROCESS_INFO{};
      info.Process.dwProcessId = held[i].process_id;
      lstrcpynW(info.strAppName, held[i].name.c_str(), CCH_RM_MAX_APP_NAME + 1);
      info.ApplicationType = RmUnknownApp;
    }
    *count = static_cast<UINT>(held.size());
  }
  append_line("list session=" + std::to_string(session) + " room=" + std::to_string(room) +
              " -> " + std::to_string(error));
  return error;
}

__declspec(dllexport) DWORD WINAPI RmEndSession(DWORD session) {
  append_line("end session=" + std::to_string(session));
  return ERROR_SUCCESS;
}

}  // extern "C"
