// The real program under command lines of every length up to the platform's limit, with
// quotes and non-ASCII bytes: it never crashes, always ends with 0, and deletes nothing but
// the named files of the directory its command line names.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testbed/machine/installation.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/machine/uninstaller_run.h"
#include "testbed/uidriver/driver.h"

namespace {

const std::string root = "C:\\merivane-hostile";

// Every file and directory below path, as paths relative to it.
void list_tree(const std::string& path, const std::string& relative,
               std::vector<std::string>& out) {
  for (const std::string& name : testbed::directory_entries(path)) {
    out.push_back(relative + name);
    if (testbed::directory_exists(path + "\\" + name))
      list_tree(path + "\\" + name, relative + name + "\\", out);
  }
}

std::vector<std::string> tree() {
  std::vector<std::string> entries;
  list_tree(root, "", entries);
  return entries;
}

// Starts the uninstaller with exactly this command line (which may be empty) in root and
// answers Yes to whatever it asks.
testbed::UninstallerRun run(const testbed::SimulatedMachine& machine,
                            const std::string& command_line) {
  testbed::UninstallerRun ended = testbed::run_uninstaller(machine, command_line, {}, root);
  EXPECT_TRUE(ended.started) << command_line.size() << " characters";
  return ended;
}

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.lay(testbed::program_directory(), "folder path=S store=01 entry=02\n");
    testbed::remove_tree(root);
    // Files named as the program's own, where a bare or shortened name would find them.
    for (const std::string& name : testbed::program_file_names()) {
      testbed::make_directories(root + "\\decoy");
      testbed::write_file(root + "\\" + name);
      testbed::write_file(root + "\\decoy\\" + name);
    }
  }
  testbed::SimulatedMachine machine_;
};

TEST_F(HostileInput, CommandLinesOfEveryLengthEndWithZeroAndDeleteNothingUnnamed) {
  const std::string program = "UninstallMV.exe ";
  // Each names root\decoy\ through ".\" steps, padded to the length asked for.
  for (const std::size_t length : {0, 1, 259, 260, 261, 1000, 32000}) {
    std::string line;
    if (length == 1) line = "%";
    if (length > 1) {
      line = program + "%" + root + "\\decoy\\";
      while (line.size() + 2 <= length) line += ".\\";
      if (line.size() < length) line.insert(program.size() + 1 + root.size(), "\\");
      ASSERT_EQ(line.size(), length);
    }
    const auto before = tree();
    const testbed::UninstallerRun ended = run(machine_, line);
    EXPECT_EQ(ended.exit_code, 0u) << length;
    EXPECT_FALSE(ended.report.timed_out) << length;
    // A path that fits is the decoy directory itself, whose named files may go; a longer one
    // is never shortened into some other path.
    const auto outside_decoy = [length](std::vector<std::string> entries) {
      if (length >= 259 && length <= 261) {
        std::erase_if(entries, [](const std::string& entry) {
          return entry == "decoy" || entry.rfind("decoy\\", 0) == 0;
        });
      }
      return entries;
    };
    const std::vector<std::string> expected = outside_decoy(before);
    const std::vector<std::string> now = outside_decoy(tree());
    EXPECT_EQ(now, expected) << length << " characters: something outside root\\decoy changed";
  }
}

TEST_F(HostileInput, QuotesAndNonAsciiBytesAreTakenAsTheyStand) {
  const std::string accented = root + "\\d\xE9j\xE0";
  testbed::make_directories(accented);
  for (const std::string& name : testbed::program_file_names())
    testbed::write_file(accented + "\\" + name);
  const auto before = tree();

  // Quotes stay part of the directory: no such path, nothing is deleted.
  testbed::UninstallerRun ended = run(machine_, "UninstallMV.exe %\"" + root + "\\decoy\\\"");
  EXPECT_EQ(ended.exit_code, 0u);
  EXPECT_EQ(tree(), before);

  // A non-ASCII program name and directory: the directory is found and emptied.
  ended = run(machine_, "Unin\xE9stall.exe %" + accented + "\\");
  EXPECT_EQ(ended.exit_code, 0u);
  EXPECT_TRUE(ended.report.final_box.seen);
  EXPECT_FALSE(testbed::directory_exists(accented));
  EXPECT_TRUE(testbed::file_exists(root + "\\decoy\\Setup.exe"));
  EXPECT_TRUE(testbed::file_exists(root + "\\Setup.exe"));
}

}  // namespace
