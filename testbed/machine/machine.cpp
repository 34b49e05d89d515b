// machine lay [--no-mapi] [--local-server] [--profiles] | inventory | users | hold FILE UNTIL
//
//   lay        lays the simulated machine for the demo into this prefix: the installation,
//              the stand-ins, a profile of two stores, the uninstaller beside its notes
//              document (SimulatedMachine's defaults), with the programs from this directory;
//              --local-server registers the Outlook stand-in as a local server of its own
//              process, as Outlook runs, rather than in the uninstaller's process;
//              --profiles adds two other users' profiles, one logged on (its hive loaded)
//              and one not, for a fleet removal
//   inventory  prints what of the installation is present, what the platform is to delete
//              at the next restart, and the profile's task items by class and its task
//              folders' default forms
//   users      prints each profile of ProfileList: its folder, its desktop shortcut, its hive
//              and, where it is loaded, the settings key in it; then what HKEY_USERS holds
//   hold       holds FILE open without FILE_SHARE_DELETE, as a running add-in or a virus
//              scanner does, until the file UNTIL exists (at most ten minutes)

#include <windows.h>

#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "base/unique_any.h"
#include "testbed/machine/installation.h"
#include "testbed/machine/profiles.h"
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
  static constexpr const char* libraries[] = {"personal", "folder", "local", "organization"};
  std::printf("  Forms libraries:%s\n", profile->forms().empty() ? " none" : "");
  for (const auto& form : profile->forms()) {
    std::string library = libraries[int(form.library)];
    if (form.folder != testbed::Profile::no_folder)
      library += " " + profile->folders()[form.folder].path;
    std::printf("    %-40s %-22s %s\n", library.c_str(), profile->text(form.message_class).c_str(),
                form.removed ? "removed" : "published");
  }
}

std::vector<testbed::UserProfile> demo_users() {
  testbed::UserProfile ann = testbed::person_profile("ann", "S-1-5-21-1111-2222-3333-1001");
  ann.loaded = true;
  return {ann, testbed::person_profile("bob", "S-1-5-21-1111-2222-3333-1002")};
}

void print_users() {
  for (const testbed::UserProfile& user : testbed::listed_profiles()) {
    std::printf("  %-28s %s\n", user.sid.c_str(), user.image_path.c_str());
    if (!user.folder) {
      std::printf("    no folder\n");
      continue;
    }
    std::printf("    shortcut %s\n", testbed::profile_shortcut_exists(user) ? "present" : "absent");
    if (user.loaded)
      std::printf("    hive loaded, settings key %s\n",
                  testbed::user_key_exists(user.sid, testbed::settings_key) ? "present" : "absent");
    else
      std::printf("    hive %s\n", user.hive ? "on disk, not loaded" : "missing");
  }
  std::string hives;
  for (const std::string& name : testbed::loaded_hives()) hives += " " + name;
  std::printf("  HKEY_USERS:%s\n", hives.c_str());
}

int hold(const std::string& path, const std::string& until) {
  const base::unique_file file(CreateFileA(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
  if (!file) {
    std::fprintf(stderr, "machine hold: cannot open %s (error %lu)\n", path.c_str(),
                 GetLastError());
    return 1;
  }
  for (int tries = 0; tries < 6000 && !testbed::file_exists(until); ++tries) Sleep(100);
  return 0;
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
      for (int at = 2; at < argc; ++at)
        if (std::string(argv[at]) == "--profiles")
          for (const testbed::UserProfile& user : demo_users()) testbed::lay_profile(user);
    } else if (command == "inventory") {
      for (const std::string& line : testbed::describe_installation(machine.install_dir))
        std::printf("  %s\n", line.c_str());
      const auto pending = testbed::pending_deletions();
      std::printf("  To delete at the next restart:%s\n", pending.empty() ? " nothing" : "");
      for (const std::string& line : pending) std::printf("    %s\n", line.c_str());
      std::printf("  Outlook profile:\n");
      print_profile(machine.profile());
    } else if (command == "users") {
      print_users();
    } else if (command == "hold" && argc == 4) {
      return hold(argv[2], argv[3]);
    } else {
      std::fprintf(
          stderr,
          "usage: machine lay [--no-mapi] [--local-server] [--profiles] | inventory | users "
          "| hold FILE UNTIL\n");
      return 2;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "machine %s: %s\n", command.c_str(), error.what());
    return 1;
  }
  return 0;
}
