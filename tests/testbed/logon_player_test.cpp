// The logon player does what the shell does at a logon, in the shell's order, with the user's
// limited token and the environment the test gives, and stamps what it ran.

#include "testbed/logon/logon.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testbed/machine/installation.h"
#include "testbed/machine/text_lines.h"

namespace {

const std::string directory = "C:\\merivane-tests\\logon";
const std::string recorder_log = directory + "\\recorder.log";

struct Component {
  const char* name;
  const char* stub;  // after the recorder's quoted path
  const char* version;
  DWORD installed;  // 2: no IsInstalled value
};

// A is installed, B is not, C counts as installed without the value and runs an expanded
// command line of its own.
constexpr Component components[] = {{"{MV-TEST-A}", "stub-a", "1,0,0,0", 1},
                                    {"{MV-TEST-B}", "stub-b", "1,0,0,0", 0},
                                    {"{MV-TEST-C}", nullptr, "2,1", 2}};

std::string recorder(const char* argument) {
  return "\"" + testbed::program_directory() + "recorder.exe\" " + argument;
}

std::string component_key(const char* name) {
  return std::string(testbed::active_setup_key) + "\\" + name;
}

void set_dword(HKEY root, const std::string& key, const char* name, DWORD value, REGSAM view) {
  HKEY opened = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                            &opened, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(opened, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(opened);
}

std::string text_value(HKEY root, const std::string& key, const char* name) {
  char data[256] = "<none>";
  DWORD size = sizeof data;
  if (RegGetValueA(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
    return "<none>";
  return data;
}

class LogonPlayer : public ::testing::Test {
 protected:
  void SetUp() override {
    TearDown();
    testbed::make_directories(directory);
    for (const Component& component : components) {
      const std::string key = component_key(component.name);
      testbed::set_string_value(HKEY_LOCAL_MACHINE, key, "", "Merivane test component",
                                KEY_WOW64_64KEY);
      if (component.stub != nullptr)
        testbed::set_string_value(HKEY_LOCAL_MACHINE, key, "StubPath", recorder(component.stub),
                                  KEY_WOW64_64KEY);
      else
        testbed::set_string_value(HKEY_LOCAL_MACHINE, key, "StubPath",
                                  "%SystemRoot%\\system32\\cmd.exe /c exit 7", KEY_WOW64_64KEY,
                                  REG_EXPAND_SZ);
      testbed::set_string_value(HKEY_LOCAL_MACHINE, key, "Version", component.version,
                                KEY_WOW64_64KEY);
      if (component.installed != 2)
        set_dword(HKEY_LOCAL_MACHINE, key, "IsInstalled", component.installed, KEY_WOW64_64KEY);
    }
    testbed::set_string_value(HKEY_LOCAL_MACHINE, testbed::run_once_key, "mv-test-once",
                              recorder("once-machine"), KEY_WOW64_64KEY);
    testbed::set_string_value(HKEY_CURRENT_USER, testbed::run_once_key, "mv-test-once",
                              recorder("once-user"));
    testbed::set_string_value(HKEY_CURRENT_USER, testbed::run_key, "mv-test-run",
                              recorder("run-user"));
  }

  void TearDown() override {
    for (const Component& component : components) {
      testbed::delete_key_tree(HKEY_LOCAL_MACHINE, component_key(component.name), KEY_WOW64_64KEY);
      testbed::delete_key_tree(HKEY_CURRENT_USER, component_key(component.name));
    }
    testbed::delete_value(HKEY_LOCAL_MACHINE, testbed::run_once_key, "mv-test-once",
                          KEY_WOW64_64KEY);
    testbed::delete_value(HKEY_CURRENT_USER, testbed::run_once_key, "mv-test-once");
    testbed::delete_value(HKEY_CURRENT_USER, testbed::run_key, "mv-test-run");
    testbed::delete_value(HKEY_CURRENT_USER, testbed::run_key, "mv-test-stuck");
    testbed::delete_key_tree(HKEY_LOCAL_MACHINE, component_key("{MV-TEST-D}"), KEY_WOW64_64KEY);
    testbed::delete_key_tree(HKEY_CURRENT_USER, component_key("{MV-TEST-D}"));
    testbed::delete_value(HKEY_CURRENT_USER, testbed::run_once_key, "mv-test-later");
    testbed::remove_tree(directory);
  }

  static std::vector<testbed::LogonCommand> play(DWORD timeout_ms = 60000) {
    testbed::LogonOptions options;
    options.environment = {{"MERIVANE_RECORDER_LOG", recorder_log}};
    options.timeout_ms = timeout_ms;
    return testbed::play_logon(options);
  }

  static std::vector<std::string> entries(const std::vector<testbed::LogonCommand>& ran) {
    std::vector<std::string> names;
    for (const testbed::LogonCommand& command : ran) names.push_back(command.entry);
    return names;
  }
};

// The recorder exits 1 without the variable that only the options give it, so its exit code
// 0 shows that the environment reached the command.
TEST_F(LogonPlayer, RunsStubsThenRunOnceThenRunWithTheLimitedToken) {
  const std::vector<testbed::LogonCommand> ran = play();
  EXPECT_EQ(entries(ran),
            (std::vector<std::string>{"active_setup {MV-TEST-A}", "active_setup {MV-TEST-C}",
                                      "HKLM RunOnce mv-test-once", "HKCU RunOnce mv-test-once",
                                      "HKCU Run mv-test-run"}));
  for (const testbed::LogonCommand& command : ran) {
    EXPECT_TRUE(command.started) << testbed::logon_record_text(command);
    EXPECT_EQ(command.elevation, "limited") << testbed::logon_record_text(command);
    EXPECT_FALSE(command.timed_out) << testbed::logon_record_text(command);
    EXPECT_EQ(command.exit_code, command.entry == "active_setup {MV-TEST-C}" ? 7u : 0u)
        << testbed::logon_record_text(command);
  }
  ASSERT_EQ(ran.size(), 5u);
  EXPECT_EQ(ran[1].command, "C:\\windows\\system32\\cmd.exe /c exit 7");

  const std::vector<std::string> lines = testbed::read_lines(recorder_log);
  ASSERT_EQ(lines.size(), 4u);
  const char* arguments[] = {"stub-a", "once-machine", "once-user", "run-user"};
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].substr(0, lines[i].find('|')), recorder(arguments[i]));

  EXPECT_EQ(text_value(HKEY_CURRENT_USER, component_key("{MV-TEST-A}"), "Version"), "1,0,0,0");
  EXPECT_EQ(text_value(HKEY_CURRENT_USER, component_key("{MV-TEST-C}"), "Version"), "2,1");
  EXPECT_FALSE(testbed::key_exists(HKEY_CURRENT_USER, component_key("{MV-TEST-B}")));
  EXPECT_FALSE(testbed::value_exists(HKEY_LOCAL_MACHINE, testbed::run_once_key, "mv-test-once",
                                     KEY_WOW64_64KEY));
  EXPECT_FALSE(testbed::value_exists(HKEY_CURRENT_USER, testbed::run_once_key, "mv-test-once"));
  EXPECT_TRUE(testbed::value_exists(HKEY_CURRENT_USER, testbed::run_key, "mv-test-run"));
}

// Stamped components stay quiet until the machine's version passes the user's.
TEST_F(LogonPlayer, RunsAStubAgainOnlyForANewerVersion) {
  play();
  EXPECT_EQ(entries(play()), std::vector<std::string>{"HKCU Run mv-test-run"});
  testbed::set_string_value(HKEY_LOCAL_MACHINE, component_key("{MV-TEST-A}"), "Version", "1,0,0,10",
                            KEY_WOW64_64KEY);
  testbed::set_string_value(HKEY_CURRENT_USER, component_key("{MV-TEST-C}"), "Version", "3");
  EXPECT_EQ(entries(play()),
            (std::vector<std::string>{"active_setup {MV-TEST-A}", "HKCU Run mv-test-run"}));
  EXPECT_EQ(text_value(HKEY_CURRENT_USER, component_key("{MV-TEST-A}"), "Version"), "1,0,0,10");
}

// A stub that leaves a command for later, as the uninstaller's does, has it run in the same
// logon: the RunOnce values are read after the stubs have run.
TEST_F(LogonPlayer, RunsWhatAStubLeftInRunOnceInTheSameLogon) {
  const std::string copy = directory + "\\recorder.exe";
  ASSERT_TRUE(
      CopyFileA((testbed::program_directory() + "recorder.exe").c_str(), copy.c_str(), FALSE));
  testbed::set_string_value(HKEY_LOCAL_MACHINE, component_key("{MV-TEST-D}"), "StubPath",
                            "C:\\windows\\system32\\reg.exe add "
                            "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce /v "
                            "mv-test-later /d \"" +
                                copy + " later\" /f",
                            KEY_WOW64_64KEY);
  const std::vector<std::string> ran = entries(play());
  const auto at = [&ran](const char* entry) {
    return std::find(ran.begin(), ran.end(), entry) - ran.begin();
  };
  ASSERT_LT(at("HKCU RunOnce mv-test-later"), std::ptrdiff_t(ran.size()));
  EXPECT_LT(at("active_setup {MV-TEST-D}"), at("HKCU RunOnce mv-test-later"));
  EXPECT_EQ(testbed::count_with(testbed::read_lines(recorder_log), {" later|"}), 1u);
  EXPECT_FALSE(testbed::value_exists(HKEY_CURRENT_USER, testbed::run_once_key, "mv-test-later"));
}

}  // namespace
