// recorder: stands in for a program that the uninstaller starts (a document's opener).
//
// Appends "<command line>|<current directory>" and a line feed to the file named by
// MERIVANE_RECORDER_LOG, exactly as the process got them, and exits 0. A GUI program, so that
// starting it from the uninstaller opens no console.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string variable(const char* name) {
  std::string value(MAX_PATH, '\0');
  for (;;) {
    const DWORD length =
        GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // the size asked for, terminating NUL included
  }
}

std::string current_directory() {
  std::string directory(MAX_PATH, '\0');
  for (;;) {
    const DWORD length =
        GetCurrentDirectoryA(static_cast<DWORD>(directory.size()), directory.data());
    if (length < directory.size()) {
      directory.resize(length);
      return directory;
    }
    directory.resize(length);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::string log = variable("MERIVANE_RECORDER_LOG");
  if (log.empty()) return 1;
  const std::string line = std::string(GetCommandLineA()) + '|' + current_directory() + '\n';
  FILE* file = std::fopen(log.c_str(), "ab");
  if (file == nullptr) return 1;
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  return std::fclose(file) == 0 && written ? 0 : 1;
}
