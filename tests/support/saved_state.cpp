#include "tests/support/saved_state.h"

namespace test_support {

namespace {

const char user_shell_folders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const char shell_folders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

}  // namespace

SavedValue SavedValue::of(HKEY root, const std::string& key, const std::string& name) {
  SavedValue saved;
  saved.root = root;
  saved.key = key;
  saved.name = name;
  DWORD size = 0;
  if (RegGetValueA(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &saved.type, nullptr,
                   &size) != ERROR_SUCCESS)
    return saved;
  saved.data.resize(size);
  saved.existed = RegGetValueA(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                               &saved.type, saved.data.data(), &size) == ERROR_SUCCESS;
  saved.data.resize(size);
  return saved;
}

void SavedValue::restore() const {
  if (existed) {
    RegSetKeyValueA(root, key.c_str(), name.c_str(), type, data.data(), DWORD(data.size()));
  } else {
    RegDeleteKeyValueA(root, key.c_str(), name.c_str());
  }
}

ShellFolderRedirect::ShellFolderRedirect(HKEY root, const std::string& value,
                                         const std::string& path)
    : saved_{SavedValue::of(root, user_shell_folders, value),
             SavedValue::of(root, shell_folders, value)} {
  RegSetKeyValueA(root, user_shell_folders, value.c_str(), REG_EXPAND_SZ, path.c_str(),
                  DWORD(path.size() + 1));
  RegSetKeyValueA(root, shell_folders, value.c_str(), REG_SZ, path.c_str(), DWORD(path.size() + 1));
}

ShellFolderRedirect::~ShellFolderRedirect() {
  for (const SavedValue& saved : saved_) saved.restore();
}

SavedDirectories::SavedDirectories() {
  GetCurrentDirectoryA(sizeof current_, current_);
  had_drive_c_ = GetEnvironmentVariableA("=C:", drive_c_, sizeof drive_c_) != 0;
}

SavedDirectories::~SavedDirectories() {
  SetCurrentDirectoryA(current_);
  SetEnvironmentVariableA("=C:", had_drive_c_ ? drive_c_ : nullptr);
}

}  // namespace test_support
