#pragma once
// What a test changed on the machine, judged by the whole prefix: a snapshot taken before a
// step and one taken after differ in exactly what the step did, meant or not.

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/unique_any.h"

namespace test_support {

struct FindTraits {
  using type = HANDLE;
  static type empty() { return INVALID_HANDLE_VALUE; }
  static void close(type search) { FindClose(search); }
};
// A directory search of FindFirstFile, closed once.
using unique_find = base::unique_any<FindTraits>;

// One file, directory, registry key or registry value as a snapshot found it.
struct Entry {
  enum class Kind { file, directory, key, value };
  Kind kind = Kind::file;
  std::uint32_t attributes = 0;  // files and directories
  std::uint64_t size = 0;        // files
  std::uint32_t type = 0;        // values: REG_SZ, REG_DWORD, ...
  std::string data;              // values: the data's bytes as stored
  std::string fault;             // a directory or key that could not be read whole, and why

  bool operator==(const Entry&) const = default;
};

// Entries by name. Files and directories are named by their path ("C:\dir\file"), keys by
// their root and path ("HKCU\Software\Maker"), values as value_entry() names them.
struct Snapshot {
  std::map<std::string, Entry> entries;
};

// Every file and directory under C:\ but Wine's own C:\windows, and every key and value under
// HKEY_CURRENT_USER\Software and HKEY_LOCAL_MACHINE\Software (the 64-bit view, which holds
// the 32-bit one as Wow6432Node). Registry links are recorded as links, not followed.
// The registry is read whole the first time only; later calls read again what changed since,
// as the registry's change notifications tell.
Snapshot take_snapshot();

// The same, with the registry read whole, as a check of what take_snapshot keeps.
Snapshot take_snapshot_afresh();

// The name of a value of the key named key ("HKCU\Software\Maker"): `key "Value"`.
std::string value_entry(const std::string& key, const std::string& value);

// One line per added, removed or changed entry, in the order of the entries' names:
//   removed file C:\dir\Setup.exe (4 bytes, attributes 0x20)
//   added directory C:\dir (attributes 0x10)
//   changed value HKCU\Software\Maker "Snap" (REG_SZ "1\0") -> (REG_DWORD 0x00000002)
std::vector<std::string> diff(const Snapshot& before, const Snapshot& after);

// The lines diff gives when the named entries of before, and nothing else, are gone. A name
// that before does not hold gives a line that diff never gives.
std::vector<std::string> removals(const Snapshot& before, const std::vector<std::string>& names);

}  // namespace test_support
