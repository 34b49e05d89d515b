#include "testbed/logon/logon.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "base/unique_any.h"
#include "testbed/machine/elevation.h"

namespace testbed {

namespace {

[[noreturn]] void fail(const std::string& what, DWORD error = GetLastError()) {
  throw std::runtime_error(what + " (error " + std::to_string(error) + ")");
}

base::unique_hkey open_key(HKEY root, const std::string& path, REGSAM access) {
  base::unique_hkey key;
  if (RegOpenKeyExA(root, path.c_str(), 0, access, key.put()) != ERROR_SUCCESS) key.release();
  return key;
}

// A string value as a command line would use it; empty when missing, of another type, or
// not a whole string.
std::string read_text(HKEY key, const char* name) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || size > 32768)
    return {};
  std::string data(size, '\0');
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
      ERROR_SUCCESS)
    return {};
  data.resize(std::min<std::size_t>(size, data.size()));
  data.resize(data.find('\0') == std::string::npos ? data.size() : data.find('\0'));
  if (type != REG_EXPAND_SZ || data.empty()) return data;
  char expanded[32768];
  const DWORD length = ExpandEnvironmentStringsA(data.c_str(), expanded, sizeof expanded);
  return length == 0 || length > sizeof expanded ? std::string() : std::string(expanded);
}

bool dword_value(HKEY key, const char* name, DWORD& value) {
  DWORD type = REG_NONE;
  DWORD size = sizeof value;
  return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof value;
}

std::vector<std::string> subkeys(HKEY key) {
  std::vector<std::string> names;
  char name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  return names;
}

std::vector<std::string> value_names(HKEY key) {
  std::vector<std::string> names;
  char name[16384];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    if (RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  return names;
}

// The token the shell gives a user whose administrator rights are not in use.
base::unique_handle limited_token() {
  base::unique_handle token = testbed::limited_primary_token();
  if (!token) fail("no limited token to start the logon's commands with");
  return token;
}

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

// This process's environment block with the options' variables set over it. Entries that
// begin with "=" (the drives' current directories) are kept as they are.
std::vector<char> environment_block(
    const std::vector<std::pair<std::string, std::string>>& variables) {
  std::vector<std::string> entries;
  if (char* block = GetEnvironmentStringsA()) {
    for (const char* entry = block; *entry != '\0';
         entry += std::char_traits<char>::length(entry) + 1)
      entries.emplace_back(entry);
    FreeEnvironmentStringsA(block);
  }
  for (const auto& [name, value] : variables) {
    const auto named = [&name](const std::string& entry) {
      const std::size_t equals = entry.find('=', 1);
      return equals != std::string::npos && same_name(entry.substr(0, equals), name);
    };
    entries.erase(std::remove_if(entries.begin(), entries.end(), named), entries.end());
    entries.push_back(name + "=" + value);
  }
  std::vector<char> block;
  for (const std::string& entry : entries) {
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back('\0');
  }
  block.push_back('\0');
  return block;
}

class Player {
 public:
  explicit Player(const LogonOptions& options)
      : token_(limited_token()),
        environment_(environment_block(options.environment)),
        timeout_ms_(options.timeout_ms) {}

  LogonCommand run(const std::string& entry, const std::string& command) {
    LogonCommand record;
    record.entry = entry;
    record.command = command;
    std::string line = command;  // CreateProcessAsUserA may write into it
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const ULONGLONG start = GetTickCount64();
    // Suspended, so that its token is read before it can end.
    if (!CreateProcessAsUserA(token_.get(), nullptr, line.data(), nullptr, nullptr, FALSE,
                              CREATE_SUSPENDED | CREATE_NO_WINDOW, environment_.data(), nullptr,
                              &startup, &started)) {
      record.error = GetLastError();
      return record;
    }
    const base::unique_handle process(started.hProcess);
    const base::unique_handle thread(started.hThread);
    record.started = true;
    record.elevation = testbed::elevation_of(process.get());
    ResumeThread(thread.get());
    if (WaitForSingleObject(process.get(), timeout_ms_) != WAIT_OBJECT_0) {
      record.timed_out = true;
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), 10000);
    }
    record.milliseconds = static_cast<DWORD>(GetTickCount64() - start);
    GetExitCodeProcess(process.get(), &record.exit_code);
    return record;
  }

 private:
  base::unique_handle token_;
  std::vector<char> environment_;
  DWORD timeout_ms_;
};

void run_active_setup(Player& player, std::vector<LogonCommand>& ran) {
  const base::unique_hkey machine =
      open_key(HKEY_LOCAL_MACHINE, active_setup_key, KEY_READ | KEY_WOW64_64KEY);
  if (!machine) return;
  for (const std::string& name : subkeys(machine.get())) {
    const base::unique_hkey component = open_key(machine.get(), name, KEY_READ);
    if (!component) continue;
    DWORD installed = 1;
    if (dword_value(component.get(), "IsInstalled", installed) && installed == 0) continue;
    const std::string stub = read_text(component.get(), "StubPath");
    if (stub.empty()) continue;
    const std::string version = read_text(component.get(), "Version");

    const std::string stamp_key = std::string(active_setup_key) + "\\" + name;
    if (const base::unique_hkey stamp = open_key(HKEY_CURRENT_USER, stamp_key, KEY_READ))
      if (compare_component_versions(read_text(stamp.get(), "Version"), version) >= 0) continue;

    ran.push_back(player.run("active_setup " + name, stub));
    if (!ran.back().started) continue;
    base::unique_hkey stamp;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, stamp_key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        stamp.put(), nullptr) != ERROR_SUCCESS)
      fail("cannot stamp HKCU\\" + stamp_key);
    if (!version.empty())
      RegSetValueExA(stamp.get(), "Version", 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(version.c_str()),
                     static_cast<DWORD>(version.size() + 1));
  }
}

// The values are read first: a command may write its key again, for the next logon.
void run_values(Player& player, HKEY root, const char* root_name, const char* key_name, bool once,
                std::vector<LogonCommand>& ran) {
  const std::string path = once ? run_once_key : run_key;
  const REGSAM view = root == HKEY_LOCAL_MACHINE ? KEY_WOW64_64KEY : 0;
  const base::unique_hkey key = open_key(root, path, KEY_READ | KEY_SET_VALUE | view);
  if (!key) return;
  std::vector<std::pair<std::string, std::string>> commands;
  for (const std::string& name : value_names(key.get()))
    commands.emplace_back(name, read_text(key.get(), name.c_str()));
  for (const auto& [name, command] : commands) {
    if (once) RegDeleteValueA(key.get(), name.c_str());
    if (command.empty()) continue;
    ran.push_back(player.run(std::string(root_name) + " " + key_name + " " + name, command));
  }
}

std::string quoted(const std::string& text) {
  std::string result = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      result += '\\';
      result += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      result += escape;
    } else {
      result += c;
    }
  }
  return result + "\"";
}

std::vector<unsigned long> version_parts(const std::string& text) {
  std::vector<unsigned long> parts(4, 0);
  std::size_t at = 0;
  for (std::size_t part = 0; part < parts.size() && at <= text.size(); ++part) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    parts[part] = std::strtoul(text.substr(at, comma - at).c_str(), nullptr, 10);
    at = comma + 1;
  }
  return parts;
}

}  // namespace

int compare_component_versions(const std::string& a, const std::string& b) {
  const std::vector<unsigned long> left = version_parts(a);
  const std::vector<unsigned long> right = version_parts(b);
  return left < right ? -1 : left > right ? 1 : 0;
}

std::vector<LogonCommand> play_logon(const LogonOptions& options) {
  Player player(options);
  std::vector<LogonCommand> ran;
  run_active_setup(player, ran);
  run_values(player, HKEY_LOCAL_MACHINE, "HKLM", "RunOnce", true, ran);
  run_values(player, HKEY_CURRENT_USER, "HKCU", "RunOnce", true, ran);
  run_values(player, HKEY_LOCAL_MACHINE, "HKLM", "Run", false, ran);
  run_values(player, HKEY_CURRENT_USER, "HKCU", "Run", false, ran);
  return ran;
}

std::string logon_record_text(const LogonCommand& command) {
  std::string line = "ran entry=" + quoted(command.entry) + " command=" + quoted(command.command);
  if (!command.started) return line + " started=no error=" + std::to_string(command.error);
  line += " exit_code=" + std::to_string(command.exit_code) +
          " ms=" + std::to_string(command.milliseconds) + " elevation=" + command.elevation;
  return command.timed_out ? line + " timed_out=yes" : line;
}

}  // namespace testbed
