#include "testbed/outlook/client.h"

#include <stdexcept>

#include "base/module.h"
#include "base/unique_any.h"

namespace testbed {

namespace {

const std::string clsid_key = std::string("Software\\Classes\\CLSID\\") + outlook_clsid_text;
const std::string prog_id_key = "Software\\Classes\\Outlook.Application";
constexpr REGSAM views[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

// Windows reads a user's classes from HKCU and merges them into HKEY_CLASSES_ROOT; Wine 8's
// HKEY_CLASSES_ROOT is the machine's classes alone, so COM under Wine finds only those.
const HKEY class_roots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};

void set_value(HKEY key, const char* name, const std::string& value) {
  const LONG status = RegSetValueExA(
      key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
  if (status != ERROR_SUCCESS) {
    throw std::runtime_error("cannot register the Outlook stand-in (error " +
                             std::to_string(status) + ")");
  }
}

base::unique_hkey created_key(HKEY root, const std::string& path, REGSAM view) {
  base::unique_hkey key;
  const LONG status = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr,
                                      key.put(), nullptr);
  if (status != ERROR_SUCCESS) {
    key.release();
    throw std::runtime_error("cannot create " + path + " (error " + std::to_string(status) + ")");
  }
  return key;
}

void delete_tree_in_view(HKEY root, const std::string& path, REGSAM view) {
  const std::size_t slash = path.rfind('\\');
  base::unique_hkey parent;
  if (RegOpenKeyExA(root, path.substr(0, slash).c_str(), 0, KEY_ALL_ACCESS | view, parent.put()) !=
      ERROR_SUCCESS) {
    parent.release();
    return;
  }
  RegDeleteTreeA(parent.get(), path.substr(slash + 1).c_str());
}

}  // namespace

void register_outlook_standin(const std::string& dll_path) {
  unregister_outlook_standin();
  for (const HKEY root : class_roots) {
    const base::unique_hkey server = created_key(root, clsid_key + "\\InprocServer32", 0);
    set_value(server.get(), nullptr, dll_path);
    set_value(server.get(), "ThreadingModel", "Apartment");
  }
}

void register_outlook_local_server(const std::string& exe_path) {
  unregister_outlook_standin();
  for (const HKEY root : class_roots) {
    for (const REGSAM view : views) {
      set_value(created_key(root, clsid_key + "\\LocalServer32", view).get(), nullptr,
                "\"" + exe_path + "\"");
      set_value(created_key(root, clsid_key + "\\ProgID", view).get(), nullptr,
                "Outlook.Application");
      set_value(created_key(root, prog_id_key + "\\CLSID", view).get(), nullptr,
                outlook_clsid_text);
    }
  }
}

void unregister_outlook_standin() {
  for (const HKEY root : class_roots) {
    for (const REGSAM view : views) {
      delete_tree_in_view(root, clsid_key, view);
      delete_tree_in_view(root, prog_id_key, view);
    }
  }
}

namespace {

std::string program_folder() {
  std::string path(MAX_PATH, '\0');
  while (true) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), DWORD(path.size()));
    if (length == 0) throw std::runtime_error("cannot tell where the test program is");
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) throw std::runtime_error("the test program's path is too long");
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.find_last_of("\\/");
  return path.substr(0, slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace

std::string outlook_server_path(bool other_architecture) {
  if (!other_architecture) return program_folder() + "outlook_server.exe";
  // build/<preset>/bin/ of this build, and of the other one beside it.
  const char* other = sizeof(void*) == 8 ? "win32" : "win64";
  const std::string path = program_folder() + "..\\..\\" + other + "\\bin\\outlook_server.exe";
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES ? path : std::string();
}

OutlookWindow::OutlookWindow() {
  std::string command = "\"" + program_folder() + "outlook_window.exe\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &started))
    throw std::runtime_error("cannot start outlook_window.exe");
  const base::unique_handle thread(started.hThread);
  process_.reset(started.hProcess);
  for (int tries = 0; tries < 600; ++tries) {
    if (FindWindowA("rctrl_renwnd32", nullptr) != nullptr) return;
    Sleep(50);
  }
  close();
  throw std::runtime_error("outlook_window.exe showed no window");
}

void OutlookWindow::close() {
  if (!process_) return;
  if (const HWND window = FindWindowA("rctrl_renwnd32", nullptr))
    PostMessageA(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0)
    TerminateProcess(process_.get(), 1);
  process_.reset();
}

std::string outlook_standin_path() { return program_folder() + "outlook_standin.dll"; }

std::optional<OutlookStandinCounters> outlook_standin_counters() {
  const HMODULE module = GetModuleHandleA("outlook_standin.dll");
  if (module == nullptr) return std::nullopt;
  using Counters = void(WINAPI*)(LONG*, LONG*, LONG*);
  const auto read = base::module_entry<Counters>(module, "outlook_standin_counters");
  if (read == nullptr) return std::nullopt;
  OutlookStandinCounters counters;
  read(&counters.calls, &counters.objects, &counters.references);
  return counters;
}

}  // namespace testbed
