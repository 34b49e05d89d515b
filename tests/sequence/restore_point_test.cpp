// The restore point bracket against the SrClient.DLL stand-in of the testbed, placed in the
// system directory, which logs each load, call and unload.

#include "sequence/restore_point.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "sequence/app_instance.h"
#include "testbed/machine/installation.h"
#include "tests/support/child_process.h"
#include "tests/support/log_lines.h"

namespace {

const std::string directory = "C:\\merivane-tests\\restore-point";
const std::string log_path = directory + "\\srclient.log";

class RestorePoint : public ::testing::Test {
 protected:
  void SetUp() override {
    app::app_instance = GetModuleHandleA(nullptr);
    app::restore_sequence_number = 0x5eed;
    testbed::remove_tree(directory);
    testbed::make_directories(directory);
    SetEnvironmentVariableA("SRCLIENT_LOG", log_path.c_str());
    SetEnvironmentVariableA("SRCLIENT_SEQUENCE", nullptr);
    SetEnvironmentVariableA("SRCLIENT_RESULT", nullptr);
    testbed::place_system_library(testbed::program_directory() + "srclient.dll", "srclient.dll");
  }
  void TearDown() override { SetEnvironmentVariableA("SRCLIENT_LOG", nullptr); }
};

TEST_F(RestorePoint, BeginAndEndPassTheirRecordsAndTheBeginsNumber) {
  // More than 32 bits, so that a number cut to a DWORD anywhere shows.
  SetEnvironmentVariableA("SRCLIENT_SEQUENCE", "0x123456789A");

  app::begin_restore_point();
  EXPECT_EQ(app::restore_sequence_number, 0x123456789A);
  app::end_restore_point();

  // Under Wine every process starts with a full token, whatever its manifest asks.
  const std::string caller =
      " process=" + std::to_string(GetCurrentProcessId()) + " elevation=full";
  const std::vector<std::string> expected = {
      "load",
      "call event=100 type=0 sequence=0 description=Removed Merivane" + caller,
      "unload",
      "load",
      "call event=101 type=0 sequence=78187493530 description=Removed Merivane" + caller,
      "unload",
  };
  EXPECT_EQ(test_support::read_lines(log_path), expected);
}

TEST_F(RestorePoint, AReportedFailureStillHandsOnTheStatusNumber) {
  SetEnvironmentVariableA("SRCLIENT_SEQUENCE", "41");
  SetEnvironmentVariableA("SRCLIENT_RESULT", "0");

  RESTOREPOINTINFOA info{};
  info.dwEventType = BEGIN_SYSTEM_CHANGE;
  STATEMGRSTATUS status{};
  EXPECT_FALSE(app::call_system_restore(info, status));
  EXPECT_EQ(status.llSequenceNumber, 41);

  app::begin_restore_point();
  EXPECT_EQ(app::restore_sequence_number, 41);
  app::end_restore_point();
  const auto lines = test_support::read_lines(log_path);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[7], "call event=101 type=0 sequence=41 description=Removed Merivane process=" +
                          std::to_string(GetCurrentProcessId()) + " elevation=full");
}

TEST_F(RestorePoint, CallReportsTheEntryPointsResult) {
  RESTOREPOINTINFOA info{};
  info.dwEventType = BEGIN_SYSTEM_CHANGE;
  STATEMGRSTATUS status{};
  status.llSequenceNumber = 0xdeadbeef;
  SetEnvironmentVariableA("SRCLIENT_SEQUENCE", "7");
  EXPECT_TRUE(app::call_system_restore(info, status));
  EXPECT_EQ(status.llSequenceNumber, 7);
}

// Runs in a child of RestorePoint.MissingLibraryIsSilent, where the system directory holds
// no SrClient.DLL but this program's own directory does: that one must never be loaded.
TEST(RestorePointWithoutLibrary, BothCallsAreSilentAndTheNumberStaysZero) {
  CHILD_ONLY();
  app::app_instance = GetModuleHandleA(nullptr);
  ASSERT_TRUE(testbed::file_exists(testbed::program_directory() + "srclient.dll"));

  app::restore_sequence_number = 0x5eed;
  app::begin_restore_point();
  EXPECT_EQ(app::restore_sequence_number, 0);
  app::end_restore_point();
  EXPECT_EQ(app::restore_sequence_number, 0);
  EXPECT_EQ(GetModuleHandleA("srclient.dll"), nullptr);
}

TEST_F(RestorePoint, MissingLibraryIsSilent) {
  testbed::remove_system_library("srclient.dll");
  EXPECT_EQ(test_support::run_child("RestorePointWithoutLibrary.*"), 0u)
      << "the child's checks failed";
  EXPECT_TRUE(test_support::read_lines(log_path).empty()) << "a stand-in was reached";
}

}  // namespace
