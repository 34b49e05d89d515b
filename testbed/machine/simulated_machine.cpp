#include "testbed/machine/simulated_machine.h"

#include <windows.h>

#include <cstdio>
#include <stdexcept>

#include "base/unique_any.h"
#include "testbed/machine/installation.h"
#include "testbed/outlook/client.h"

namespace testbed {

namespace {

constexpr char doc_class[] = "Software\\Classes\\MerivaneTest.Document";

void copy(const std::string& from, const std::string& to) {
  if (!CopyFileA(from.c_str(), to.c_str(), FALSE))
    throw std::runtime_error("cannot copy " + from + " to " + to);
}

void set_mapix(bool installed) {
  base::unique_hkey key;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows Messaging Subsystem", 0,
                  nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr);
  const char* text = installed ? "1" : "0";
  RegSetValueExA(key.get(), "MAPIX", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 2);
}

// Wine's HKEY_CLASSES_ROOT is the machine's classes.
void register_document_opener(const std::string& recorder) {
  set_string_value(HKEY_LOCAL_MACHINE, "Software\\Classes\\.doc", "", "MerivaneTest.Document");
  set_string_value(HKEY_LOCAL_MACHINE, std::string(doc_class) + "\\shell\\open\\command", "",
                   "\"" + recorder + "\" \"%1\"");
}

}  // namespace

void SimulatedMachine::lay(const std::string& bin_dir, const std::string& profile_text) const {
  remove_tree(install_dir.substr(0, install_dir.size() - 1));
  remove_tree(uninstaller_dir.substr(0, uninstaller_dir.size() - 1));
  remove_tree(data_dir.substr(0, data_dir.size() - 1));
  delete_key_tree(HKEY_CURRENT_USER, maker_key);
  lay_installation(install_dir);

  make_directories(uninstaller_dir);
  for (const char* file : {"UninstallMV.exe", "recorder.exe"})
    copy(bin_dir + file, uninstaller_dir + file);
  // The program loads these from the system directory only; copies beside it are planted
  // ones that must never run.
  for (const char* library : {"mapi32.dll", "srclient.dll"}) {
    if (system_libraries)
      place_system_library(bin_dir + library, library);
    else
      remove_system_library(library);
    if (planted_libraries) copy(bin_dir + library, uninstaller_dir + library);
  }
  write_file(uninstaller_dir + "UninstallMV.doc", "How to make the standard task form the default");
  register_document_opener(uninstaller_dir + "recorder.exe");

  make_directories(data_dir);
  write_file(profile(), profile_text);
  switch (outlook_server) {
    case OutlookServer::in_process:
      register_outlook_standin(bin_dir + "outlook_standin.dll");
      break;
    case OutlookServer::local:
      register_outlook_local_server(bin_dir + "outlook_server.exe");
      break;
    case OutlookServer::local_other_architecture: {
      const std::string server = outlook_server_path(true);
      if (server.empty()) throw std::runtime_error("the other architecture's build is missing");
      register_outlook_local_server(server);
      break;
    }
  }
  set_mapix(mapi_installed);
}

std::vector<std::pair<std::string, std::string>> SimulatedMachine::environment() const {
  return {{"MERIVANE_PROFILE", profile()},
          {"MERIVANE_STANDIN_LOG", standin_log()},
          {"SRCLIENT_LOG", restore_log()},
          {"SRCLIENT_SEQUENCE", "4711"},
          {"MERIVANE_RECORDER_LOG", recorder_log()}};
}

std::string demo_profile(int addin_tasks_per_folder) {
  const std::string count = std::to_string(addin_tasks_per_folder);
  const std::string half = std::to_string(addin_tasks_per_folder / 2);
  std::string text;
  const char* stores[][2] = {{"Personal Folders", "0011AABB22CC"}, {"Archive", "00FF00EE11DD"}};
  int entry = 1;
  const auto folder = [&](const std::string& path, int type, const char* form) {
    char id[16];
    std::snprintf(id, sizeof id, "%08X", entry++);
    text += "folder path=\"" + path + "\" entry=" + id + " type=" + std::to_string(type);
    if (form != nullptr) text += std::string(" form=") + form;
    text += "\n";
  };
  for (const auto& store : stores) {
    const std::string root = store[0];
    text += "folder path=\"" + root + "\" store=" + store[1] + " entry=00000000 type=0\n";
    folder(root + "/Inbox", 0, "IPM.Note");
    folder(root + "/Inbox/Projects", 0, "IPM.Note");
    folder(root + "/Calendar", 1, "IPM.Appointment");
    folder(root + "/Tasks", 3, "IPM.Task.Merivane");
    folder(root + "/Tasks/Someday", 3, "IPM.Task.Merivane");
    folder(root + "/Tasks/Done", 3, "IPM.Task");
    for (const char* tasks : {"/Tasks", "/Tasks/Someday", "/Tasks/Done"}) {
      text += "item folder=\"" + root + tasks + "\" class=IPM.Task.Merivane count=" + count + "\n";
      text += "item folder=\"" + root + tasks + "\" class=IPM.Task count=" + half + "\n";
    }
    text += "item folder=\"" + root + "/Inbox\" class=IPM.Note count=" + half + "\n";
  }
  // The add-in's form as its setup publishes it, and another add-in's beside it.
  text += "form library=personal class=IPM.Task.Merivane\n";
  text += "form library=personal class=IPM.Task.Tracker\n";
  text += "form library=folder folder=\"Personal Folders/Tasks\" class=IPM.Task.Merivane\n";
  text += "form library=local class=IPM.Task.Merivane\n";
  return text;
}

}  // namespace testbed
