// machine lay [--no-mapi] [--local-server] | inventory
//
//   lay        lays the simulated machine for the demo into this prefix: the installation,
//              the stand-ins, a profile of two stores, the uninstaller beside its notes
//              document (SimulatedMachine's defaults), with the programs from this directory;
//              --local-server registers the Outlook stand-in as a local server of its own
//              process, as Outlook runs, rather than in the uninstaller's process
//   inventory  prints what of the installation is present, and the profile's task items by
//              class and its task folders' default forms

#include <windows.h>

#include <cstdio>
#include <exception>
#include <map>
#include <string>

#include "testbed/machine/installation.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/profile/profile.h"

namespace {

void print_profile(const std::string& path) {
  const auto profile = testbed::Profile::load(path);
  for (const auto& folder : profile->folders()) {
    if (folder.item_type != 3 && folder.items.empty()) continue;
    std::map<std::string, int> classes;
    for (const std::uint32_t text : folder.items)
      ++classes[text == testbed::Profile::no_text ? "(none)" : profile->text(text)];
    std::string line;
    for (const auto& [name, count] : classes)
      line += " " + std::to_string(count) + " " + name + ";";
    const std::string form =
        folder.form == testbed::Profile::no_text ? "(none)" : profile->text(folder.form);
    std::printf("  %-32s form %-18s items:%s\n", folder.path.c_str(), form.c_str(),
                line.empty() ? " none" : line.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  testbed::SimulatedMachine machine;
  try {
    if (command == "lay") {
      for (int at = 2; at < argc; ++at) {
        const std::string option = argv[at];
        if (option == "--no-mapi") machine.mapi_installed = false;
        if (option == "--local-server") machine.outlook_server = testbed::OutlookServer::local;
      }
      machine.lay(testbed::program_directory(), testbed::demo_profile());
    } else if (command == "inventory") {
      for (const std::string& line : testbed::describe_installation(machine.install_dir))
        std::printf("  %s\n", line.c_str());
      std::printf("  Outlook profile:\n");
      print_profile(machine.profile());
    } else {
      std::fprintf(stderr, "usage: machine lay [--no-mapi] [--local-server] | inventory\n");
      return 2;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "machine %s: %s\n", command.c_str(), error.what());
    return 1;
  }
  return 0;
}
