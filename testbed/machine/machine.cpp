// machine lay|inventory|remove INSTALL_DIR
//
//   lay        lays out the simulated installation (files, registry entries, shortcuts)
//   inventory  prints what of it is present
//   remove     runs the removal steps inside a restore point and prints each result
//
// A separator is added to INSTALL_DIR when it has none at its end.

#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>

#include "app/app_instance.h"
#include "app/restore_point.h"
#include "removal/program_files.h"
#include "removal/registry_entries.h"
#include "removal/shortcuts.h"
#include "testbed/machine/installation.h"

namespace {

const char* outcome(bool succeeded) { return succeeded ? "Done" : "Failed"; }

void remove(const std::string& install_dir) {
  app::begin_restore_point();
  std::printf("restore point begun, sequence number %lld\n",
              static_cast<long long>(app::restore_sequence_number));
  std::printf("Removing program files...      %s\n",
              outcome(removal::remove_program_files(install_dir.c_str())));
  std::printf("Removing registry entries...   %s\n", outcome(removal::remove_registry_entries()));
  std::printf("Removing Start menu link...    %s\n", outcome(removal::remove_shortcuts()));
  app::end_restore_point();
  std::printf("restore point ended\n");
}

}  // namespace

int main(int argc, char** argv) {
  app::app_instance = GetModuleHandleA(nullptr);
  if (argc != 3) {
    std::fprintf(stderr, "usage: machine lay|inventory|remove INSTALL_DIR\n");
    return 2;
  }
  const std::string command = argv[1];
  std::string install_dir = argv[2];
  if (install_dir.find_last_of("\\/") != install_dir.size() - 1) install_dir += '\\';
  try {
    if (command == "lay") {
      testbed::lay_installation(install_dir);
    } else if (command == "inventory") {
      for (const std::string& line : testbed::describe_installation(install_dir))
        std::printf("  %s\n", line.c_str());
    } else if (command == "remove") {
      remove(install_dir);
    } else {
      std::fprintf(stderr, "unknown command %s\n", command.c_str());
      return 2;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "machine %s: %s\n", command.c_str(), error.what());
    return 1;
  }
  return 0;
}
