// The records the program hands the platform, taken as the platform takes them at run time:
// at the sizes and offsets of its layout for this build, whatever the toolchain declares. The
// process start is watched in this program's import table; the restore point records by the
// SrClient stand-in, which reads them at the platform's offsets.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/launch.h"
#include "base/unique_any.h"
#include "sequence/app_instance.h"
#include "sequence/restore_point.h"
#include "testbed/machine/installation.h"
#include "tests/support/import_hook.h"
#include "tests/support/log_lines.h"

namespace {

const std::string directory = "C:\\merivane-tests\\platform-records";
constexpr std::size_t startup_info_size = sizeof(void*) == 8 ? 104 : 68;

test_support::ImportHook* create_process_hook = nullptr;
std::vector<unsigned char> startup_info_seen;

BOOL WINAPI watched_create_process(LPCSTR application, LPSTR command_line,
                                   LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                   BOOL inherit, DWORD flags, LPVOID environment,
                                   LPCSTR current_directory, LPSTARTUPINFOA startup,
                                   LPPROCESS_INFORMATION started) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(startup);
  startup_info_seen.assign(bytes, bytes + startup_info_size);
  return create_process_hook->original<decltype(CreateProcessA)>()(
      application, command_line, process, thread, inherit, flags, environment, current_directory,
      startup, started);
}

// RESTOREPOINTINFOA as the platform lays it out: 80 bytes, packed, in hex.
std::string restore_point_record(DWORD event, std::int64_t sequence) {
  unsigned char record[80] = {};
  std::memcpy(record, &event, 4);  // the restore point type, at 4, is 0
  std::memcpy(record + 8, &sequence, 8);
  std::memcpy(record + 16, "Removed Merivane", 16);  // the rest of its 64 bytes zero
  std::string text;
  char digits[3];
  for (const unsigned char byte : record) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
}

class PlatformRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed::remove_tree(directory);
    testbed::make_directories(directory);
  }
};

// Started as the program starts the setup: the record gives its size and asks for nothing
// else (no window state, no handles, no desktop).
TEST_F(PlatformRecords, TheStartupRecordHasThePlatformsSizeAndNothingElseSet) {
  const std::string log = directory + "\\started.log";
  ASSERT_TRUE(CopyFileA((testbed::program_directory() + "recorder.exe").c_str(),
                        (directory + "\\merivane.exe").c_str(), FALSE));
  SetEnvironmentVariableA("MERIVANE_RECORDER_LOG", log.c_str());
  char previous[MAX_PATH];
  GetCurrentDirectoryA(sizeof previous, previous);
  test_support::ImportHook hook("kernel32.dll", "CreateProcessA", watched_create_process);
  ASSERT_TRUE(hook.hooked());
  create_process_hook = &hook;

  SetCurrentDirectoryA(directory.c_str());
  PROCESS_INFORMATION started{};
  const bool ok = app::start_process("merivane.exe", "/Setup", started);
  SetCurrentDirectoryA(previous);
  ASSERT_TRUE(ok);
  const base::unique_handle process(started.hProcess), thread(started.hThread);
  EXPECT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);

  ASSERT_EQ(startup_info_seen.size(), startup_info_size);
  DWORD size = 0;
  std::memcpy(&size, startup_info_seen.data(), sizeof size);
  EXPECT_EQ(size, startup_info_size);
  EXPECT_TRUE(std::all_of(startup_info_seen.begin() + sizeof size, startup_info_seen.end(),
                          [](unsigned char byte) { return byte == 0; }));
  EXPECT_EQ(test_support::read_lines(log),
            std::vector<std::string>{"merivane.exe /Setup|" + directory});
}

// Both calls hand an 80-byte record and a zeroed 12-byte status record; the end call hands
// back the number the stand-in wrote at the status record's offset 4.
TEST_F(PlatformRecords, RestorePointRecordsAreThePlatformsBytes) {
  const std::string log = directory + "\\srclient.log";
  testbed::place_system_library(testbed::program_directory() + "srclient.dll", "srclient.dll");
  SetEnvironmentVariableA("SRCLIENT_LOG", log.c_str());
  SetEnvironmentVariableA("SRCLIENT_BYTES", "1");
  SetEnvironmentVariableA("SRCLIENT_SEQUENCE", "0x123456789A");
  app::app_instance = GetModuleHandleA(nullptr);
  app::begin_restore_point();
  app::end_restore_point();
  for (const char* name : {"SRCLIENT_LOG", "SRCLIENT_BYTES", "SRCLIENT_SEQUENCE"})
    SetEnvironmentVariableA(name, nullptr);

  const std::string status = " status=" + std::string(24, '0');
  EXPECT_EQ(test_support::lines_with(test_support::read_lines(log), {"bytes"}),
            (std::vector<std::string>{
                "bytes info=" + restore_point_record(BEGIN_SYSTEM_CHANGE, 0) + status,
                "bytes info=" + restore_point_record(END_SYSTEM_CHANGE, 0x123456789A) + status}));
}

}  // namespace
