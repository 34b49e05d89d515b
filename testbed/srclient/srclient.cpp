// SrClient.DLL stand-in.
//
// Appends one line per event to the file named by SRCLIENT_LOG: "load" and "unload" from
// DllMain, and for every SRSetRestorePointA call
//   call event=<dwEventType> type=<dwRestorePtType> sequence=<llSequenceNumber> description=<text>
//        process=<id> elevation=<full|limited|default|unknown>
// (one line) where text is szDescription up to its NUL, or "<unterminated>" when the 64 bytes
// hold none, and the process and its token's level are the caller's: the restore point belongs
// to the machine's part of a removal, which an elevated process does.
// With SRCLIENT_BYTES=1 a second line follows with both records' bytes as the call found them:
//   bytes info=<80 bytes in hex> status=<12 bytes in hex>
//
// A begin call (event 100) gets the number in SRCLIENT_SEQUENCE (default 1) as its sequence
// number; any other call gets its own number back. SRCLIENT_RESULT=0 makes the call report
// failure (the status record is written all the same). SRCLIENT_END_AFTER=<function>:<n>
// ends the process after the program's n-th call of a removal function (end_after.cpp).
//
// The records are read and written at the platform's offsets, not through the toolchain's
// declarations, so that a caller whose layout differs from the platform's shows it.

#include <windows.h>
#include <srrestoreptapi.h>

#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testbed/machine/elevation.h"
#include "testbed/srclient/end_after.h"

namespace {

// RESTOREPOINTINFOA and STATEMGRSTATUS as the platform lays them out: packed, the same for
// 32-bit and 64-bit callers.
constexpr std::size_t info_size = 80;
constexpr std::size_t info_event_type = 0;
constexpr std::size_t info_restore_point_type = 4;
constexpr std::size_t info_sequence_number = 8;
constexpr std::size_t info_description = 16;
constexpr std::size_t description_size = 64;
constexpr std::size_t status_size = 12;
constexpr std::size_t status_code = 0;
constexpr std::size_t status_sequence_number = 4;

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

template <typename T>
T field(const void* record, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof value);
  return value;
}

template <typename T>
void set_field(void* record, std::size_t offset, T value) {
  std::memcpy(static_cast<unsigned char*>(record) + offset, &value, sizeof value);
}

std::string hex(const void* record, std::size_t size) {
  std::string text;
  char digits[3];
  for (std::size_t at = 0; at < size; ++at) {
    std::snprintf(digits, sizeof digits, "%02X", static_cast<const unsigned char*>(record)[at]);
    text += digits;
  }
  return text;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) append_line("load");
  if (reason == DLL_PROCESS_DETACH) append_line("unload");
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI
    SRSetRestorePointA(PRESTOREPOINTINFOA info, PSTATEMGRSTATUS status) {
  const auto event_type = field<DWORD>(info, info_event_type);
  const auto sequence_number = field<std::int64_t>(info, info_sequence_number);
  const char* text = reinterpret_cast<const char*>(info) + info_description;
  char description[description_size + 1] = "<unterminated>";
  if (std::memchr(text, '\0', description_size) != nullptr) std::strcpy(description, text);

  char line[256];
  std::snprintf(
      line, sizeof line,
      "call event=%lu type=%lu sequence=%" PRId64 " description=%s process=%lu elevation=%s",
      static_cast<unsigned long>(event_type),
      static_cast<unsigned long>(field<DWORD>(info, info_restore_point_type)), sequence_number,
      description, GetCurrentProcessId(), testbed::elevation_of(GetCurrentProcess()).c_str());
  append_line(line);
  if (variable_number("SRCLIENT_BYTES", 0) != 0) {
    append_line(
        ("bytes info=" + hex(info, info_size) + " status=" + hex(status, status_size)).c_str());
  }

  const bool begins = event_type == BEGIN_SYSTEM_CHANGE;
  if (begins) testbed_srclient::hook_end_after(append_line);
  set_field<DWORD>(status, status_code, ERROR_SUCCESS);
  set_field<std::int64_t>(status, status_sequence_number,
                          begins ? variable_number("SRCLIENT_SEQUENCE", 1) : sequence_number);
  return variable_number("SRCLIENT_RESULT", 1) != 0;
}
