#include "testbed/outlook/client.h"

#include <stdexcept>

#include "base/module.h"
#include "base/unique_any.h"

namespace testbed {

namespace {

const std::string clsid_key = std::string("Software\\Classes\\CLSID\\") + outlook_clsid_text;

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

}  // namespace

void register_outlook_standin(const std::string& dll_path) {
  for (const HKEY root : class_roots) {
    base::unique_hkey server;
    const LONG status = RegCreateKeyExA(root, (clsid_key + "\\InprocServer32").c_str(), 0, nullptr,
                                        0, KEY_WRITE, nullptr, server.put(), nullptr);
    if (status != ERROR_SUCCESS) {
      server.release();
      throw std::runtime_error("cannot create the Outlook class key (error " +
                               std::to_string(status) + ")");
    }
    set_value(server.get(), nullptr, dll_path);
    set_value(server.get(), "ThreadingModel", "Apartment");
  }
}

void unregister_outlook_standin() {
  for (const HKEY root : class_roots) RegDeleteTreeA(root, clsid_key.c_str());
}

std::string outlook_standin_path() {
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
  return path.substr(0, slash == std::string::npos ? 0 : slash + 1) + "outlook_standin.dll";
}

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
