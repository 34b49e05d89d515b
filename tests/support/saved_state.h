#pragma once
// Process and registry state a test changes and must put back, since the test prefix and the
// test program are shared by every test of a run.

#include <windows.h>

#include <string>
#include <vector>

namespace test_support {

// A registry value as it was, put back (or deleted, when there was none) by restore().
struct SavedValue {
  HKEY root = nullptr;
  std::string key;
  std::string name;
  bool existed = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;

  static SavedValue of(HKEY root, const std::string& key, const std::string& name);
  void restore() const;
};

// Points a shell folder ("Desktop", "Common Programs", ...) at path for the life of the object.
// Both values are set, since Wine copies "User Shell Folders" into "Shell Folders" at each
// lookup.
class ShellFolderRedirect {
 public:
  ShellFolderRedirect(HKEY root, const std::string& value, const std::string& path);
  ShellFolderRedirect(const ShellFolderRedirect&) = delete;
  ShellFolderRedirect& operator=(const ShellFolderRedirect&) = delete;
  ~ShellFolderRedirect();

 private:
  SavedValue saved_[2];
};

// The current directory and drive C's current directory (the "=C:" variable, which "C:"
// names when another drive is current), put back when the object goes.
class SavedDirectories {
 public:
  SavedDirectories();
  SavedDirectories(const SavedDirectories&) = delete;
  SavedDirectories& operator=(const SavedDirectories&) = delete;
  ~SavedDirectories();

 private:
  char current_[MAX_PATH] = {};
  char drive_c_[MAX_PATH] = {};
  bool had_drive_c_ = false;
};

}  // namespace test_support
