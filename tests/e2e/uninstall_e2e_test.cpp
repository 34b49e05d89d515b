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

namespace {

using test_support::count_with;
using test_support::read_lines;

const std::string strings_5 = "Merivane has been successfully uninstalled.";

constexpr char small_profile[] =
    "folder path=Personal store=0011AABB entry=00000001 type=0\n"
    "folder path=Personal/Inbox entry=00000002 type=0 form=IPM.Note\n"
    "folder path=Personal/Tasks entry=00000003 type=3 form=IPM.Task.Merivane\n"
    "folder path=Personal/Tasks/Later entry=00000004 type=3 form=IPM.Task\n"
    "item folder=Personal/Tasks class=IPM.Task.Merivane count=5\n"
    "item folder=Personal/Tasks class=IPM.Task count=2\n"
    "item folder=Personal/Tasks/Later class=IPM.Task.Merivane count=3\n";

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
  void lay(bool mapi = true) {
    machine_.mapi_installed = mapi;
    machine_.lay(testbed::program_directory(), small_profile);
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
  EXPECT_EQ(
      read_lines(machine_.restore_log()),
      (std::vector<std::string>{
          "load", "call event=100 type=0 sequence=0 description=Removed Merivane", "unload", "load",
          "call event=101 type=0 sequence=4711 description=Removed Merivane", "unload"}));
  EXPECT_TRUE(read_lines(machine_.recorder_log()).empty()) << "a document was opened";
  const auto log = read_lines(machine_.standin_log());
  EXPECT_EQ(count_with(log, {"outlook summary", "objects=0 references=0"}), 1u);
  EXPECT_EQ(count_with(log, {"mapi summary", "initialisations=1 uninitialisations=1"}), 1u);
}

TEST_F(Uninstaller, WithoutMapiOpensTheNotesDocumentFromItsOwnDirectory) {
  lay(false);
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
  EXPECT_TRUE(everything_installed_left(machine_));
}

TEST_F(Uninstaller, AnyOtherArgumentDoesNothing) {
  lay();
  for (const char* arguments : {" /x", " -x", " abc", " \"%C:\\\""}) {
    const testbed::UninstallerRun result =
        run(machine_, "UninstallMV.exe" + std::string(arguments), {});
    EXPECT_EQ(result.exit_code, 0u) << arguments;
    EXPECT_FALSE(result.report.confirmation.seen) << arguments;
  }
  EXPECT_TRUE(everything_installed_left(machine_));
}

}  // namespace
