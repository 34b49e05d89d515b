#pragma once
// A whole simulated machine for running UninstallMV.exe end to end: the installation, MAPI
// detected, the Outlook stand-in registered, the MAPI32 and SrClient stand-ins in the system
// directory, a profile fixture, the uninstaller with its notes document in a directory of its
// own, and a recorder that opens .doc files.

#include <string>
#include <vector>

namespace testbed {

// Where COM finds Outlook: the stand-in DLL in the program's process, or the stand-in's local
// server in a process of its own, of the program's architecture or of the other one (a 32-bit
// program beside a 64-bit Outlook, the commonest machine today).
enum class OutlookServer { in_process, local, local_other_architecture };

struct SimulatedMachine {
  std::string install_dir = "C:\\Program Files\\Quillaburst\\Merivane\\";
  // Outside install_dir: a program left there would keep the directory from going.
  std::string uninstaller_dir = "C:\\Program Files\\Common Files\\Quillaburst\\";
  std::string data_dir = "C:\\merivane-machine\\";  // profile, logs
  bool mapi_installed = true;
  bool system_libraries = true;    // the MAPI32 and SrClient stand-ins in the system directory
  bool planted_libraries = false;  // copies of them beside the uninstaller
  OutlookServer outlook_server = OutlookServer::in_process;

  std::string uninstaller() const { return uninstaller_dir + "UninstallMV.exe"; }
  std::string profile() const { return data_dir + "profile.txt"; }
  std::string standin_log() const { return data_dir + "standin.log"; }
  std::string restore_log() const { return data_dir + "restore-point.log"; }
  std::string recorder_log() const { return data_dir + "recorder.log"; }

  // Lays it all out; bin_dir holds the built program, stand-ins and recorder. Anything of an
  // earlier machine at the same places is removed first.
  void lay(const std::string& bin_dir, const std::string& profile_text) const;

  // The variables the uninstaller and the stand-ins read, as NAME=VALUE.
  std::vector<std::pair<std::string, std::string>> environment() const;
};

// A profile of two stores with nested mail, calendar and task folders, task folders with the
// add-in's default form, tasks of the add-in's class and standard ones.
std::string demo_profile(int addin_tasks_per_folder = 60);

}  // namespace testbed
