#include "tests/support/snapshot.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "base/unique_any.h"

namespace test_support {

namespace {

// Any registry access here is on the 64-bit view, so that both builds see the same keys.
constexpr REGSAM read_access = KEY_READ | KEY_WOW64_64KEY;

// Names may be longer than the ANSI calls take (another test leaves paths past MAX_PATH
// behind) and need not fit the ANSI code page, so the walk is wide and keeps UTF-8.
std::string utf8(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
  std::string result(std::size_t(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text, int(length), result.data(), size, nullptr, nullptr);
  return result;
}
std::string utf8(const std::wstring& text) { return utf8(text.data(), text.size()); }

std::string hex(std::uint64_t number, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(number));
  return text;
}

std::string error_text(const char* what, long error) {
  return std::string(what) + " (error " + std::to_string(error) + ")";
}

// Characters outside printable ASCII, and the quote and backslash, are escaped; UTF-8 is kept.
void append_escaped(std::string& out, unsigned char c) {
  if (c == '"' || c == '\\') {
    out += '\\';
    out += char(c);
  } else if (c == 0) {
    out += "\\0";
  } else if (c < 0x20 || c == 0x7F) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", c);
    out += text;
  } else {
    out += char(c);
  }
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) append_escaped(out, static_cast<unsigned char>(c));
  return out + '"';
}

const char* type_name(std::uint32_t type) {
  static const char* const names[] = {"REG_NONE",
                                      "REG_SZ",
                                      "REG_EXPAND_SZ",
                                      "REG_BINARY",
                                      "REG_DWORD",
                                      "REG_DWORD_BIG_ENDIAN",
                                      "REG_LINK",
                                      "REG_MULTI_SZ",
                                      "REG_RESOURCE_LIST",
                                      "REG_FULL_RESOURCE_DESCRIPTOR",
                                      "REG_RESOURCE_REQUIREMENTS_LIST",
                                      "REG_QWORD"};
  return type < std::size(names) ? names[type] : nullptr;
}

bool is_text_type(std::uint32_t type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ || type == REG_LINK;
}

// Text values are shown as text, zeros included; numbers as numbers; anything else as its
// first bytes in hex with its length, since the comparison is on the bytes themselves.
std::string describe_value(const Entry& entry) {
  const char* name = type_name(entry.type);
  std::string out = name != nullptr ? name : "type " + std::to_string(entry.type);
  const std::string& data = entry.data;
  if (is_text_type(entry.type) && data.size() % 2 == 0) {
    std::wstring text(data.size() / 2, L'\0');
    std::copy_n(data.data(), data.size(), reinterpret_cast<char*>(text.data()));
    std::string shown = " \"";
    // Zeros end a wide text for the converter, so each run between them goes on its own.
    std::size_t start = 0;
    for (std::size_t at = 0; at <= text.size(); ++at) {
      if (at < text.size() && text[at] != L'\0') continue;
      for (const char c : utf8(text.data() + start, at - start))
        append_escaped(shown, static_cast<unsigned char>(c));
      if (at < text.size()) shown += "\\0";
      start = at + 1;
    }
    return out + shown + '"';
  }
  if ((entry.type == REG_DWORD && data.size() == 4) ||
      (entry.type == REG_QWORD && data.size() == 8)) {
    std::uint64_t number = 0;
    std::copy_n(data.data(), data.size(), reinterpret_cast<char*>(&number));
    return out + ' ' + hex(number, int(data.size() * 2));
  }
  out += ' ' + std::to_string(data.size()) + " bytes";
  constexpr std::size_t shown_bytes = 64;
  for (std::size_t at = 0; at < data.size() && at < shown_bytes; ++at) {
    char text[4];
    std::snprintf(text, sizeof text, " %02X", static_cast<unsigned char>(data[at]));
    out += text;
  }
  if (data.size() > shown_bytes) out += " ...";
  return out;
}

const char* kind_name(Entry::Kind kind) {
  switch (kind) {
    case Entry::Kind::file:
      return "file";
    case Entry::Kind::directory:
      return "directory";
    case Entry::Kind::key:
      return "key";
    case Entry::Kind::value:
      return "value";
  }
  return "entry";
}

std::string state(const Entry& entry) {
  std::string text;
  switch (entry.kind) {
    case Entry::Kind::file:
      text = std::to_string(entry.size) + " bytes, attributes " + hex(entry.attributes, 2);
      break;
    case Entry::Kind::directory:
      text = "attributes " + hex(entry.attributes, 2);
      break;
    case Entry::Kind::key:
      break;
    case Entry::Kind::value:
      text = describe_value(entry);
      break;
  }
  if (!entry.fault.empty()) text += (text.empty() ? "" : ", ") + entry.fault;
  return text.empty() ? text : "(" + text + ")";
}

std::string line(const char* change, const std::string& name, const Entry& entry) {
  const std::string shown = state(entry);
  return std::string(change) + ' ' + kind_name(entry.kind) + ' ' + name +
         (shown.empty() ? "" : ' ' + shown);
}

std::string change_line(const std::string& name, const Entry& before, const Entry& after) {
  if (before.kind != after.kind) {
    return "changed " + name + ' ' + kind_name(before.kind) + ' ' + state(before) + " -> " +
           kind_name(after.kind) + ' ' + state(after);
  }
  return "changed " + std::string(kind_name(before.kind)) + ' ' + name + ' ' + state(before) +
         " -> " + state(after);
}

// --- file system ---

void walk_directory(const std::wstring& path, const std::string& name, bool skip_windows,
                    Snapshot& snapshot) {
  WIN32_FIND_DATAW found;
  const unique_find search(FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                            FindExSearchNameMatch, nullptr,
                                            FIND_FIRST_EX_LARGE_FETCH));
  if (!search) {
    const DWORD error = GetLastError();
    Entry& directory = snapshot.entries[name];
    directory.kind = Entry::Kind::directory;
    directory.fault = error_text("not listed", long(error));
    return;
  }
  do {
    const wchar_t* child = found.cFileName;
    if (std::wcscmp(child, L".") == 0 || std::wcscmp(child, L"..") == 0) continue;
    if (skip_windows && _wcsicmp(child, L"windows") == 0) continue;
    const std::string child_name = name + '\\' + utf8(child, std::wcslen(child));
    Entry entry;
    entry.attributes = found.dwFileAttributes;
    const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.kind = directory ? Entry::Kind::directory : Entry::Kind::file;
    if (!directory) entry.size = (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
    snapshot.entries[child_name] = entry;
    // A linked directory is recorded, not entered: it may lead back up or off the drive.
    if (directory && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
      walk_directory(path + L'\\' + child, child_name, false, snapshot);
  } while (FindNextFileW(search.get(), &found));
  const DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) {
    Entry& directory = snapshot.entries[name];
    directory.kind = Entry::Kind::directory;
    directory.fault = error_text("listed in part", long(error));
  }
}

// --- registry ---

// A fresh prefix holds some 9,000 keys under the two Software keys, and each costs Wine a few
// round trips to its server: read one after another, they take well over a second. So every key
// read is kept open with a change watch on its subtree, and a later snapshot reads again only the
// keys whose watch fired, taking the rest from the last reading. The watch is armed before the key
// is read, so a change made while it is read is caught the next time. Each round trip mostly
// waits, so subtrees are read on several threads at once: under Wine eight threads read about
// five times as fast as one. A watch must outlive the thread that armed it (Windows 8 and
// later, and Wine, keep it with REG_NOTIFY_THREAD_AGNOSTIC); where the flag is refused, the key
// counts as unwatched and is read every time.

constexpr DWORD watched_changes = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                                  REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY |
                                  REG_NOTIFY_THREAD_AGNOSTIC;
#ifdef _WIN64
constexpr int reading_threads = 8;
#else
// The 32-bit build runs under qemu-i386, which keeps the descriptors of the threads' system
// data in one table for the whole process: Wine's 32-bit threads, loading them afresh on
// their way into the system, then use each other's, and several threads busy at once soon
// break the process. One thread reads it all.
constexpr int reading_threads = 1;
#endif

// A buffer too small for a name or data the key grew since it was measured is grown and the
// call repeated, a bounded number of times.
constexpr int attempts = 8;

// Wine answers the opening of "Perflib\\009" (the language's counter texts) with its
// HKEY_PERFORMANCE_TEXT, which lists nothing; such a key is recorded, and marked as unread.
bool is_predefined(HKEY key) { return (reinterpret_cast<ULONG_PTR>(key) & 0x80000000) != 0; }

class WatchedKey {
 public:
  // Unwatched, the key is read once and let go of at once.
  WatchedKey(std::string name, base::unique_hkey key, bool watch)
      : name_(std::move(name)), key_(std::move(key)), watch_(watch) {}
  WatchedKey(const WatchedKey&) = delete;
  WatchedKey& operator=(const WatchedKey&) = delete;

  // Reads the key again where it or anything below it changed since it was last read; its
  // subkeys, kept or new, are left in later, to be refreshed in turn.
  void refresh(std::vector<WatchedKey*>& later) {
    if (watch_) {
      if (unchanged()) return;
      arm();
    }
    read(later);
    if (!watch_) key_.reset();
  }

  void add_to(Snapshot& snapshot) const {
    for (const auto& [name, entry] : own_) snapshot.entries[name] = entry;
    for (const auto& child : children_) child.second->add_to(snapshot);
  }

 private:
  void read(std::vector<WatchedKey*>& later) {
    own_.clear();
    Entry entry;
    entry.kind = Entry::Kind::key;
    DWORD subkeys = 0, longest_subkey = 0, values = 0, longest_value_name = 0, largest_data = 0;
    const LONG status =
        RegQueryInfoKeyW(key_.get(), nullptr, nullptr, nullptr, &subkeys, &longest_subkey, nullptr,
                         &values, &longest_value_name, &largest_data, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
      entry.fault = error_text("not queried", status);
      own_.emplace_back(name_, entry);
      children_.clear();
      return;
    }
    read_values(values, longest_value_name, largest_data, entry);
    read_subkeys(subkeys, longest_subkey, entry, later);
    own_.insert(own_.begin(), {name_, entry});
  }

  void arm() {
    if (changed_) {
      ResetEvent(changed_.get());
    } else {
      changed_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    watched_ = changed_ && RegNotifyChangeKeyValue(key_.get(), TRUE, watched_changes,
                                                   changed_.get(), TRUE) == ERROR_SUCCESS;
  }

  bool unchanged() const {
    return watched_ && WaitForSingleObject(changed_.get(), 0) == WAIT_TIMEOUT;
  }

  // A key deleted while held open does not fire its own watch, only its parent's, and a key
  // made anew under the same name is another key: the old handle answers ERROR_KEY_DELETED.
  bool deleted() const {
    return RegQueryInfoKeyW(key_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_KEY_DELETED;
  }

  void read_values(DWORD count, DWORD longest_name, DWORD largest_data, Entry& key_entry) {
    std::wstring value_name(std::size_t(longest_name) + 1, L'\0');
    std::string data(std::max<std::size_t>(largest_data, 16), '\0');
    for (DWORD index = 0; index < count; ++index) {
      LONG status = ERROR_MORE_DATA;
      DWORD name_length = 0, size = 0, type = 0;
      for (int attempt = 0; attempt < attempts && status == ERROR_MORE_DATA; ++attempt) {
        name_length = DWORD(value_name.size());
        size = DWORD(data.size());
        status = RegEnumValueW(key_.get(), index, value_name.data(), &name_length, nullptr, &type,
                               reinterpret_cast<BYTE*>(data.data()), &size);
        if (status == ERROR_MORE_DATA) {
          value_name.resize(std::min<std::size_t>(value_name.size() * 2, 32768));
          data.resize(std::max<std::size_t>(size, data.size() * 2));
        }
      }
      if (status == ERROR_NO_MORE_ITEMS) break;  // a value went while the key was read
      if (status != ERROR_SUCCESS) {
        key_entry.fault = error_text("values not read whole", status);
        return;
      }
      Entry value;
      value.kind = Entry::Kind::value;
      value.type = type;
      value.data.assign(data.data(), size);
      own_.emplace_back(value_entry(name_, utf8(value_name.data(), name_length)), value);
    }
  }

  void read_subkeys(DWORD count, DWORD longest_name, Entry& key_entry,
                    std::vector<WatchedKey*>& later) {
    std::vector<std::wstring> names;
    std::wstring subkey(std::size_t(longest_name) + 1, L'\0');
    for (DWORD index = 0; index < count; ++index) {
      LONG status = ERROR_MORE_DATA;
      DWORD length = 0;
      for (int attempt = 0; attempt < attempts && status == ERROR_MORE_DATA; ++attempt) {
        length = DWORD(subkey.size());
        status = RegEnumKeyExW(key_.get(), index, subkey.data(), &length, nullptr, nullptr, nullptr,
                               nullptr);
        if (status == ERROR_MORE_DATA) subkey.resize(std::min<std::size_t>(subkey.size() * 2, 512));
      }
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status != ERROR_SUCCESS) {
        key_entry.fault = error_text("subkeys not read whole", status);
        break;
      }
      names.emplace_back(subkey.data(), length);
    }

    std::map<std::wstring, std::unique_ptr<WatchedKey>> children;
    for (const std::wstring& name : names) {
      auto kept = children_.find(name);
      if (kept != children_.end() && !kept->second->deleted()) {
        later.push_back(kept->second.get());
        children.emplace(name, std::move(kept->second));
        continue;
      }
      const std::string child_name = name_ + '\\' + utf8(name);
      base::unique_hkey opened;
      // Links are recorded as links: followed, they would show their target's keys twice.
      const LONG status =
          RegOpenKeyExW(key_.get(), name.c_str(), REG_OPTION_OPEN_LINK, read_access, opened.put());
      if (status != ERROR_SUCCESS) {
        opened.release();
        Entry entry;
        entry.kind = Entry::Kind::key;
        entry.fault = error_text("not opened", status);
        own_.emplace_back(child_name, entry);
        continue;
      }
      if (is_predefined(opened.get())) {
        Entry entry;
        entry.kind = Entry::Kind::key;
        entry.fault = "opened as the predefined key " +
                      hex(reinterpret_cast<ULONG_PTR>(opened.get()) & 0xFFFFFFFF, 8) + ", not read";
        own_.emplace_back(child_name, entry);
        continue;
      }
      auto child = std::make_unique<WatchedKey>(child_name, std::move(opened), watch_);
      later.push_back(child.get());
      children.emplace(name, std::move(child));
    }
    children_ = std::move(children);
  }

  std::string name_;
  base::unique_hkey key_;
  bool watch_;
  base::unique_handle changed_;                     // set by the watch; manual reset
  bool watched_ = false;                            // armed
  std::vector<std::pair<std::string, Entry>> own_;  // the key's entry and its values
  std::map<std::wstring, std::unique_ptr<WatchedKey>> children_;
};

// The two Software keys, read as one tree of watched keys.
class Registry {
 public:
  explicit Registry(bool watch) : watch_(watch) {}

  void add_to(Snapshot& snapshot) {
    std::vector<WatchedKey*> trees;
    for (Root& root : roots_) {
      if (!root.tree) {
        base::unique_hkey software;
        const LONG status = RegOpenKeyExW(root.key, L"Software", 0, read_access, software.put());
        if (status != ERROR_SUCCESS) {
          software.release();
          Entry& entry = snapshot.entries[root.name];
          entry.kind = Entry::Kind::key;
          entry.fault = error_text("not opened", status);
          continue;
        }
        root.tree = std::make_unique<WatchedKey>(root.name, std::move(software), watch_);
      }
      trees.push_back(root.tree.get());
    }
    refresh(trees);
    for (WatchedKey* tree : trees) tree->add_to(snapshot);
  }

 private:
  struct Root {
    HKEY key;
    const char* name;
    std::unique_ptr<WatchedKey> tree;
  };

  // Keys wait in one queue, each refreshed by one thread alone. Helpers start only once keys
  // wait (a snapshot that finds nothing changed needs none); a thread that finds the queue
  // empty waits while others may still add to it, and all end when none is busy.
  static void refresh(const std::vector<WatchedKey*>& trees) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<WatchedKey*> queue = trees;
    std::vector<std::thread> helpers;
    int busy = 0;
    std::function<void()> work = [&] {
      std::unique_lock lock(mutex);
      for (;;) {
        changed.wait(lock, [&] { return !queue.empty() || busy == 0; });
        if (queue.empty()) break;
        WatchedKey* key = queue.back();
        queue.pop_back();
        ++busy;
        lock.unlock();
        std::vector<WatchedKey*> later;
        key->refresh(later);
        lock.lock();
        --busy;
        queue.insert(queue.end(), later.begin(), later.end());
        if (queue.size() > 1 && helpers.size() + 1 < std::size_t(reading_threads))
          helpers.emplace_back(work);
        changed.notify_all();
      }
    };
    work();
    // Helpers are only started under the lock while keys wait, never after work ends here.
    for (std::thread& helper : helpers) helper.join();
  }

  bool watch_;
  Root roots_[2] = {{HKEY_CURRENT_USER, "HKCU\\Software", nullptr},
                    {HKEY_LOCAL_MACHINE, "HKLM\\Software", nullptr}};
};

Snapshot take(Registry& registry) {
  Snapshot snapshot;
  walk_directory(L"\\\\?\\C:", "C:", true, snapshot);
  registry.add_to(snapshot);
  return snapshot;
}

}  // namespace

Snapshot take_snapshot() {
  // Kept to the end of the process and never taken apart: closing its some 18,000 handles one
  // by one costs Wine half a second, and the process's end gives them all back at once.
  static Registry& registry = *new Registry(true);
  return take(registry);
}

Snapshot take_snapshot_afresh() {
  Registry registry(false);
  return take(registry);
}

std::string value_entry(const std::string& key, const std::string& value) {
  return key + ' ' + quoted(value);
}

std::vector<std::string> diff(const Snapshot& before, const Snapshot& after) {
  std::vector<std::string> lines;
  auto old_entry = before.entries.begin();
  auto new_entry = after.entries.begin();
  while (old_entry != before.entries.end() || new_entry != after.entries.end()) {
    if (new_entry == after.entries.end() ||
        (old_entry != before.entries.end() && old_entry->first < new_entry->first)) {
      lines.push_back(line("removed", old_entry->first, old_entry->second));
      ++old_entry;
    } else if (old_entry == before.entries.end() || new_entry->first < old_entry->first) {
      lines.push_back(line("added", new_entry->first, new_entry->second));
      ++new_entry;
    } else {
      if (!(old_entry->second == new_entry->second))
        lines.push_back(change_line(old_entry->first, old_entry->second, new_entry->second));
      ++old_entry;
      ++new_entry;
    }
  }
  return lines;
}

std::vector<std::string> removals(const Snapshot& before, const std::vector<std::string>& names) {
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  std::vector<std::string> lines;
  for (const std::string& name : sorted) {
    const auto found = before.entries.find(name);
    lines.push_back(found != before.entries.end() ? line("removed", found->first, found->second)
                                                  : "expected, but never there: " + name);
  }
  return lines;
}

}  // namespace test_support
