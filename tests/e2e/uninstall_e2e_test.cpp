// The real UninstallMV.exe on a simulated machine, started with exact raw command lines and
// driven through its windows as a user would: the installation, the Outlook profile behind
// the stand-ins, the restore point and the notes document are looked at afterwards.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testbed/machine/installation.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/machine/uninstaller_run.h"
#include "testbed/profile/profile.h"
#include "testbed/uidriver/driver.h"
#include "tests/support/log_lines.h"
#include "tests/support/saved_state.h"
#include "tests/e2e/small_profile.h"

namespace {

using test_support::count_with;
using test_support::read_lines;

const std::string strings_5 = "Merivane has been successfully uninstalled.";
const std::string strings_3 =
    "Not all of Merivane's components were successfully removed. This could be because you do "
    "not have sufficient rights to remove files, or because some of Merivane's components were "
    "moved after installation.";

using e2e::small_profile;

// Starts the program with command_line exactly as given, in directory, and drives it to its
// end.
testbed::UninstallerRun run(const testbed::SimulatedMachine& machine,
                            const std::string& command_line,
                            const testbed::DriverOptions& options = {},
                            const std::string& directory = "") {
  testbed::UninstallerRun result =
      testbed::run_uninstaller(machine, command_line, options, directory);
  EXPECT_TRUE(result.started) << command_line;
  EXPECT_FALSE(result.report.timed_out) << testbed::report_text(result.report);
  return result;
}

// The file's lines once it has count of them, or what it has after five seconds.
std::vector<std::string> lines_once_there(const std::string& path, std::size_t count) {
  std::vector<std::string> lines = read_lines(path);
  for (int tries = 0; tries < 100 && lines.size() < count; ++tries) {
    Sleep(50);
    lines = read_lines(path);
  }
  return lines;
}

std::string uninstall_line(const testbed::SimulatedMachine& machine) {
  return "\"" + machine.uninstaller() + "\" %" + machine.install_dir;
}

const testbed::LabelState& label(const testbed::DialogSample& sample, int id) {
  return sample.labels[id - testbed::first_label_id];
}

std::vector<std::string> classes_left(const testbed::SimulatedMachine& machine) {
  const auto profile = testbed::Profile::load(machine.profile());
  std::vector<std::string> found;
  for (const auto& folder : profile->folders())
    for (const std::uint32_t text : folder.items) found.push_back(profile->text(text));
  return found;
}

std::string form_of(const testbed::SimulatedMachine& machine, const char* folder) {
  const auto profile = testbed::Profile::load(machine.profile());
  return profile->text(profile->folders()[profile->find_folder(folder)].form);
}

bool nothing_installed_left(const testbed::SimulatedMachine& machine) {
  for (const std::string& line : testbed::describe_installation(machine.install_dir))
    if (line.rfind("present", 0) == 0) return false;
  return true;
}

bool everything_installed_left(const testbed::SimulatedMachine& machine) {
  for (const std::string& line : testbed::describe_installation(machine.install_dir))
    if (line.rfind("absent", 0) == 0) return false;
  return true;
}

class Uninstaller : public ::testing::Test {
 protected:
  void lay(bool mapi = true, const std::string& rules = "") {
    machine_.mapi_installed = mapi;
    machine_.lay(testbed::program_directory(), small_profile + rules);
  }
  // A test may leave the uninstall entry locked against changes.
  void TearDown() override {
    if (testbed::key_exists(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key))
      testbed::set_key_security(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key, "D:(A;;KA;;;WD)");
    testbed::delete_key_tree(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key);
  }
  // The result labels as the last sample shows them, from 1004 to 1007.
  static std::vector<std::string> results(const testbed::UninstallerRun& run) {
    if (run.report.samples.empty()) return {};
    std::vector<std::string> texts;
    for (int id = 1004; id <= 1007; ++id)
      texts.push_back(label(run.report.samples.back(), id).text);
    return texts;
  }
  testbed::SimulatedMachine machine_;
};

TEST_F(Uninstaller, RemovesEverythingAndSaysSo) {
  lay();
  testbed::DriverOptions options;
  options.poke_dialog = true;
  const testbed::UninstallerRun result = run(machine_, uninstall_line(machine_), options);
  const testbed::Report& report = result.report;

  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(report.confirmation.text,
            "Are you sure you want to completely remove Merivane from your computer?");
  EXPECT_EQ(report.confirmation.icon, "question");
  EXPECT_EQ(report.final_box.text, strings_5);
  EXPECT_EQ(report.final_box.icon, "information");
  EXPECT_TRUE(report.final_box.dialog_present) << "the dialog stays beside the final message";
  EXPECT_TRUE(report.poke_done);
  EXPECT_TRUE(report.dialog_survived_poke) << "Escape or the close box ended the dialog";

  ASSERT_FALSE(report.samples.empty());
  const testbed::DialogSample& first = report.samples.front();
  EXPECT_TRUE(label(first, 1000).enabled);
  for (int id = 1001; id <= 1003; ++id) EXPECT_FALSE(label(first, id).enabled) << id;
  // A caption is enabled only once the step before it has its result, and every result
  // label stays hidden until then.
  for (const auto& sample : report.samples) {
    for (int id = 1001; id <= 1003; ++id) {
      if (label(sample, id).enabled) {
        EXPECT_TRUE(label(sample, id + 3).visible) << id;
      }
    }
  }
  const testbed::DialogSample& last = report.samples.back();
  for (int id = 1004; id <= 1007; ++id) {
    EXPECT_TRUE(label(last, id).visible) << id;
    EXPECT_EQ(label(last, id).text, "Done") << id;
  }

  EXPECT_TRUE(nothing_installed_left(machine_));
  for (const std::string& message_class : classes_left(machine_))
    EXPECT_NE(message_class, "IPM.Task.Merivane");
  EXPECT_EQ(form_of(machine_, "Personal/Tasks"), "IPM.Task");
  // Under Wine every process starts with a full token, whatever its manifest asks.
  const std::string caller = " process=" + std::to_string(result.process_id) + " elevation=full";
  EXPECT_EQ(
      read_lines(machine_.restore_log()),
      (std::vector<std::string>{
          "load", "call event=100 type=0 sequence=0 description=Removed Merivane" + caller,
          "unload", "load",
          "call event=101 type=0 sequence=4711 description=Removed Merivane" + caller, "unload"}));
  EXPECT_TRUE(read_lines(machine_.recorder_log()).empty()) << "a document was opened";
  const auto log = read_lines(machine_.standin_log());
  EXPECT_EQ(count_with(log, {"outlook summary", "objects=0 references=0"}), 1u);
  EXPECT_EQ(count_with(log, {"mapi summary", "initialisations=1 uninitialisations=1"}), 1u);
}

// Without MAPI, and with an Outlook that has no PropertyAccessor (Outlook 2003), the forms are
// left for the user.
TEST_F(Uninstaller, WithoutMapiOpensTheNotesDocumentFromItsOwnDirectory) {
  lay(false, "absent member=PropertyAccessor\n");
  const testbed::UninstallerRun result = run(machine_, uninstall_line(machine_));
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(result.report.final_box.text.rfind(strings_5 + "\n\nYou may now wish", 0), 0u)
      << result.report.final_box.text;
  EXPECT_EQ(result.report.final_box.icon, "information");
  const auto opened = lines_once_there(machine_.recorder_log(), 1);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_NE(opened[0].find(machine_.uninstaller_dir + "UninstallMV.doc"), std::string::npos)
      << opened[0];
  EXPECT_EQ(form_of(machine_, "Personal/Tasks"), "IPM.Task.Merivane");
  for (const std::string& message_class : classes_left(machine_))
    EXPECT_NE(message_class, "IPM.Task.Merivane");
}

TEST_F(Uninstaller, AMissingSetupFailsItsStepAndTheMessageSaysSo) {
  lay();
  DeleteFileA((machine_.install_dir + "Setup.exe").c_str());
  const testbed::UninstallerRun result = run(machine_, uninstall_line(machine_));
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(result.report.final_box.text.rfind("Not all of Merivane's components", 0), 0u);
  EXPECT_EQ(result.report.final_box.icon, "exclamation");
  ASSERT_FALSE(result.report.samples.empty());
  const testbed::DialogSample& last = result.report.samples.back();
  EXPECT_EQ(label(last, 1005).text, "Failed");
  EXPECT_TRUE(label(last, 1005).visible);
  EXPECT_EQ(label(last, 1006).text, "Done");
}

// What is left behind is reported: the step's label reads Failed and the final message says
// that not everything was removed.
TEST_F(Uninstaller, WhatIsLeftBehindIsNeverReportedDone) {
  // An item of the add-in's that cannot be saved keeps its class.
  lay(true, "fail object=Item:Personal/Tasks#1 member=Save hresult=0x80004005\n");
  testbed::UninstallerRun result = run(machine_, uninstall_line(machine_));
  EXPECT_EQ(results(result), (std::vector<std::string>{"Failed", "Done", "Done", "Done"}));
  EXPECT_EQ(result.report.final_box.text, strings_3);

  // An uninstall entry locked against changes (a subkey keeps it from going under Wine too,
  // which lets a key be deleted whatever its access control list says).
  lay();
  testbed::set_string_value(HKEY_LOCAL_MACHINE,
                            std::string(testbed::uninstall_entry_key) + "\\Patches", "KB1", "x");
  testbed::set_key_security(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key,
                            "D:(D;;0x10006;;;WD)(A;;KA;;;WD)");
  result = run(machine_, uninstall_line(machine_));
  EXPECT_EQ(results(result), (std::vector<std::string>{"Done", "Done", "Failed", "Done"}));
  EXPECT_EQ(result.report.final_box.text, strings_3);
  EXPECT_EQ(testbed::value_names(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key).size(), 3u);
}

// A 32-bit installer wrote its uninstall entry into the 32-bit view, which both builds reach.
TEST_F(Uninstaller, RemovesTheUninstallEntryFromThe32BitView) {
  lay();
  testbed::delete_key_tree(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key);
  for (const std::string& name : testbed::uninstall_entry_value_names())
    testbed::set_string_value(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key, name,
                              machine_.install_dir, KEY_WOW64_32KEY);
  const testbed::UninstallerRun result = run(machine_, uninstall_line(machine_));
  EXPECT_EQ(results(result), (std::vector<std::string>{"Done", "Done", "Done", "Done"}));
  EXPECT_FALSE(
      testbed::key_exists(HKEY_LOCAL_MACHINE, testbed::uninstall_entry_key, KEY_WOW64_32KEY));
}

// "C:" names drive C's current directory (here the "=C:" variable's, inherited by the
// program), and "C:\\" strips to "C:": decoys of the five names there and in the drive's root,
// and an empty current directory, must survive. "%%<dir>" keeps its second "%": a relative
// path, which the program does not act on.
TEST_F(Uninstaller, ADriveItsCurrentDirectoryOrARelativePathIsNeverTheInstallation) {
  const std::string empty_current = machine_.data_dir + "empty-current";
  const std::string filled_current = machine_.data_dir + "filled-current";
  struct Case {
    std::string arguments;
    const std::string* c_current;
  };
  const Case cases[] = {{"%C:\\", &empty_current},
                        {"%C:", &filled_current},
                        {"%%" + machine_.install_dir, &empty_current}};
  for (const Case& c : cases) {
    lay();
    testbed::make_directories(empty_current);
    testbed::make_directories(filled_current);
    for (const std::string& name : testbed::program_file_names()) {
      testbed::write_file(filled_current + "\\" + name);
      testbed::write_file("C:\\" + name);
    }
    testbed::UninstallerRun result;
    {
      const test_support::SavedDirectories directories;
      SetEnvironmentVariableA("=C:", c.c_current->c_str());
      result = run(machine_, "\"" + machine_.uninstaller() + "\" " + c.arguments);
    }

    EXPECT_EQ(results(result), (std::vector<std::string>{"Done", "Failed", "Done", "Done"}))
        << c.arguments;
    EXPECT_EQ(result.report.final_box.text, strings_3) << c.arguments;
    EXPECT_TRUE(testbed::directory_exists(empty_current)) << c.arguments;
    for (const std::string& name : testbed::program_file_names()) {
      EXPECT_TRUE(testbed::file_exists(filled_current + "\\" + name)) << c.arguments;
      EXPECT_TRUE(testbed::file_exists("C:\\" + name)) << c.arguments;
      EXPECT_TRUE(testbed::file_exists(machine_.install_dir + name)) << c.arguments;
      DeleteFileA(("C:\\" + name).c_str());
    }
  }
}

// Libraries of the system's names beside the elevated program are never loaded: with none in
// the system directory, neither System Restore nor MAPI is reached.
TEST_F(Uninstaller, LibrariesPlantedBesideTheProgramAreNeverLoaded) {
  machine_.system_libraries = false;
  machine_.planted_libraries = true;
  lay();
  const testbed::UninstallerRun result = run(machine_, uninstall_line(machine_));
  EXPECT_EQ(result.report.final_box.text, strings_5) << "the forms go through Outlook instead";
  EXPECT_TRUE(read_lines(machine_.restore_log()).empty());
  EXPECT_EQ(count_with(read_lines(machine_.standin_log()), {"mapi load"}), 0u);
  EXPECT_TRUE(nothing_installed_left(machine_));
}

// Without MAPI the forms of every task folder, in both stores, are reset through Outlook:
// nothing is left for the user to do.
TEST_F(Uninstaller, WithoutMapiTheFormsAreResetThroughOutlook) {
  machine_.mapi_installed = false;
  machine_.lay(testbed::program_directory(), testbed::demo_profile(5));
  const testbed::UninstallerRun result = run(machine_, uninstall_line(machine_));
  EXPECT_EQ(results(result), (std::vector<std::string>{"Done", "Done", "Done", "Done"}));
  EXPECT_EQ(result.report.final_box.text, strings_5);
  const auto profile = testbed::Profile::load(machine_.profile());
  std::size_t task_folders = 0;
  for (const auto& folder : profile->folders()) {
    if (folder.item_type != 3) continue;
    ++task_folders;
    EXPECT_EQ(profile->text(folder.form), "IPM.Task") << folder.path;
  }
  EXPECT_EQ(task_folders, 6u);
  Sleep(500);
  EXPECT_TRUE(read_lines(machine_.recorder_log()).empty()) << "a document was opened";
  EXPECT_EQ(count_with(read_lines(machine_.standin_log()), {"mapi load"}), 0u);
}

TEST_F(Uninstaller, AnsweringNoChangesNothing) {
  lay();
  testbed::DriverOptions options;
  options.answer_yes = false;
  const testbed::UninstallerRun result = run(machine_, uninstall_line(machine_), options);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_TRUE(result.report.confirmation.seen);
  EXPECT_FALSE(result.report.dialog_seen);
  EXPECT_FALSE(result.report.final_box.seen);
  EXPECT_TRUE(everything_installed_left(machine_));
  EXPECT_EQ(count_with(read_lines(machine_.profile()), {"saved"}), 0u);
  EXPECT_TRUE(read_lines(machine_.restore_log()).empty()) << "a restore point was made";
}

TEST_F(Uninstaller, AnEmptyCommandLineStartsTheSetupFromTheCurrentDirectory) {
  lay();
  const std::string here = machine_.data_dir + "setup";
  testbed::make_directories(here);
  ASSERT_TRUE(CopyFileA((testbed::program_directory() + "recorder.exe").c_str(),
                        (here + "\\merivane.exe").c_str(), FALSE));
  for (const char* line : {"UninstallMV.exe", "UninstallMV.exe   \t"}) {
    const testbed::UninstallerRun result = run(machine_, line, {}, here);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_FALSE(result.report.confirmation.seen) << line << ": a window was shown";
  }
  // The setup runs on by itself: its line may come after the uninstaller has ended.
  const auto started = lines_once_there(machine_.recorder_log(), 2);
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[0], "merivane.exe /Setup|" + here);

  // A merivane.exe beside the uninstaller but none in the current directory: nothing starts,
  // as the search order would find a program elsewhere.
  ASSERT_TRUE(CopyFileA((testbed::program_directory() + "recorder.exe").c_str(),
                        (machine_.uninstaller_dir + "merivane.exe").c_str(), FALSE));
  const std::string elsewhere = machine_.data_dir + "elsewhere";
  testbed::make_directories(elsewhere);
  run(machine_, "UninstallMV.exe", {}, elsewhere);
  Sleep(500);
  EXPECT_EQ(read_lines(machine_.recorder_log()).size(), 2u) << "a setup was started";
  EXPECT_TRUE(everything_installed_left(machine_));
}

// A deployment system must not read an argument string it got wrong as a removal done.
TEST_F(Uninstaller, AnyOtherArgumentDoesNothingAndExits87) {
  lay();
  for (const std::string& arguments :
       std::vector<std::string>{" -x", " abc", " \"%C:\\\"", " -quiet", " quiet", " \"/quiet\"",
                                " " + machine_.install_dir}) {
    const testbed::UninstallerRun result = run(machine_, "UninstallMV.exe" + arguments, {});
    EXPECT_EQ(result.exit_code, 87u) << arguments;
    EXPECT_FALSE(result.report.confirmation.seen) << arguments;
  }
  EXPECT_TRUE(everything_installed_left(machine_));
  EXPECT_TRUE(read_lines(machine_.restore_log()).empty());
}

}  // namespace
