// Ends the process that loaded this library right after its program's n-th call of one of the
// functions the removal steps delete with (SRCLIENT_END_AFTER=<function>:<n>), as power that
// fails or a deployment agent's time-out would end it. The uninstaller loads SrClient.DLL
// right before the file step, so the hook is in place for the file, registry and shortcut
// steps. It lives in the program's own import table: calls from other libraries are not
// counted.

#include "testbed/srclient/end_after.h"

#include "testbed/imports/import_table.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

// The function named and how many of its calls are still to come before the process ends.
char watched[32];
long calls_left = 0;

FARPROC original_of[6];

void counted(const char* function, void (*log)(const char*)) {
  if (std::strcmp(function, watched) != 0 || --calls_left != 0) return;
  char line[64];
  std::snprintf(line, sizeof line, "end after %s", function);
  log(line);
  TerminateProcess(GetCurrentProcess(), testbed_srclient::end_exit_code);
}

void (*log_line)(const char*) = nullptr;

template <typename Function>
Function original(int index) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(original_of[index]));
}

BOOL WINAPI delete_file(LPCSTR path) {
  const BOOL result = original<decltype(&DeleteFileA)>(0)(path);
  counted("DeleteFileA", log_line);
  return result;
}
BOOL WINAPI remove_directory(LPCSTR path) {
  const BOOL result = original<decltype(&RemoveDirectoryA)>(1)(path);
  counted("RemoveDirectoryA", log_line);
  return result;
}
LONG WINAPI delete_value(HKEY key, LPCSTR name) {
  const LONG result = original<decltype(&RegDeleteValueA)>(2)(key, name);
  counted("RegDeleteValueA", log_line);
  return result;
}
LONG WINAPI delete_key(HKEY key, LPCSTR path) {
  const LONG result = original<decltype(&RegDeleteKeyA)>(3)(key, path);
  counted("RegDeleteKeyA", log_line);
  return result;
}
LONG WINAPI delete_key_ex(HKEY key, LPCSTR path, REGSAM view, DWORD reserved) {
  const LONG result = original<decltype(&RegDeleteKeyExA)>(4)(key, path, view, reserved);
  counted("RegDeleteKeyExA", log_line);
  return result;
}

// The program deletes its files and directories by setting a handle's disposition.
BOOL WINAPI set_file_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS what, LPVOID information,
                                 DWORD size) {
  const BOOL result =
      original<decltype(&SetFileInformationByHandle)>(5)(file, what, information, size);
  counted("SetFileInformationByHandle", log_line);
  return result;
}

struct Hook {
  const char* dll;
  const char* function;
  FARPROC replacement;
};

template <typename Function>
FARPROC as_farproc(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

namespace testbed_srclient {

void hook_end_after(void (*log)(const char*)) {
  if (calls_left != 0) return;  // already in place
  char setting[64];
  const DWORD length = GetEnvironmentVariableA("SRCLIENT_END_AFTER", setting, sizeof setting);
  if (length == 0 || length >= sizeof setting) return;
  char* colon = std::strchr(setting, ':');
  if (colon == nullptr || colon - setting >= long(sizeof watched)) return;
  *colon = '\0';
  const long count = std::strtol(colon + 1, nullptr, 10);
  if (count <= 0) return;

  const Hook hooks[] = {{"kernel32.dll", "DeleteFileA", as_farproc(delete_file)},
                        {"kernel32.dll", "RemoveDirectoryA", as_farproc(remove_directory)},
                        {"advapi32.dll", "RegDeleteValueA", as_farproc(delete_value)},
                        {"advapi32.dll", "RegDeleteKeyA", as_farproc(delete_key)},
                        {"advapi32.dll", "RegDeleteKeyExA", as_farproc(delete_key_ex)},
                        {"kernel32.dll", "SetFileInformationByHandle",
                         as_farproc(set_file_information)}};
  bool known = false;
  for (const Hook& hook : hooks) known = known || std::strcmp(hook.function, setting) == 0;
  if (!known) {
    log("end_after unknown function");
    return;
  }
  // The program frees this library after the call; the hooks must outlive that.
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&hook_end_after), &self))
    return;
  std::strcpy(watched, setting);
  calls_left = count;
  log_line = log;
  for (int index = 0; index < int(std::size(hooks)); ++index) {
    testbed::ImportedFunction* slot = testbed::import_slot(hooks[index].dll, hooks[index].function);
    if (slot == nullptr) continue;
    original_of[index] = reinterpret_cast<FARPROC>(*slot);
    testbed::write_import_slot(
        slot, reinterpret_cast<testbed::ImportedFunction>(hooks[index].replacement));
  }
}

}  // namespace testbed_srclient
