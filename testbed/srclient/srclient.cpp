// SrClient.DLL stand-in.
//
// Appends one line per event to the file named by SRCLIENT_LOG: "load" and "unload" from
// DllMain, and for every SRSetRestorePointA call
//   call event=<dwEventType> type=<dwRestorePtType> sequence=<llSequenceNumber> description=<text>
// where text is szDescription up to its NUL, or "<unterminated>" when the 64 bytes hold none.
//
// A begin call (event 100) gets the number in SRCLIENT_SEQUENCE (default 1) as its sequence
// number; any other call gets its own number back. SRCLIENT_RESULT=0 makes the call report
// failure (the status record is written all the same).

#include <windows.h>
#include <srrestoreptapi.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool read_variable(const char* name, char* value, DWORD capacity) {
  const DWORD length = GetEnvironmentVariableA(name, value, capacity);
  return length != 0 && length < capacity;
}

void append_line(const char* line) {
  char path[MAX_PATH];
  if (!read_variable("SRCLIENT_LOG", path, sizeof path)) return;
  if (FILE* log = std::fopen(path, "ab")) {
    std::fputs(line, log);
    std::fputc('\n', log);
    std::fclose(log);
  }
}

std::int64_t variable_number(const char* name, std::int64_t fallback) {
  char text[32];
  if (!read_variable(name, text, sizeof text)) return fallback;
  return std::strtoll(text, nullptr, 0);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) append_line("load");
  if (reason == DLL_PROCESS_DETACH) append_line("unload");
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI
    SRSetRestorePointA(PRESTOREPOINTINFOA info, PSTATEMGRSTATUS status) {
  char description[sizeof info->szDescription + 1] = "<unterminated>";
  if (std::memchr(info->szDescription, '\0', sizeof info->szDescription) != nullptr)
    std::strcpy(description, info->szDescription);

  char line[256];
  std::snprintf(line, sizeof line, "call event=%lu type=%lu sequence=%" PRId64 " description=%s",
                static_cast<unsigned long>(info->dwEventType),
                static_cast<unsigned long>(info->dwRestorePtType),
                static_cast<std::int64_t>(info->llSequenceNumber), description);
  append_line(line);

  const bool begins = info->dwEventType == BEGIN_SYSTEM_CHANGE;
  status->nStatus = ERROR_SUCCESS;
  status->llSequenceNumber =
      begins ? variable_number("SRCLIENT_SEQUENCE", 1) : info->llSequenceNumber;
  return variable_number("SRCLIENT_RESULT", 1) != 0;
}
