// The real UninstallMV.exe run as a fleet removal (/allusers): the machine's part once, and
// each person's settings key and desktop shortcut in every profile of the machine, logged on
// or not; each user's Outlook tasks wait for that user's next logon, through Active Setup,
// which the logon player plays since Wine has none.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "base/unique_any.h"
#include "testbed/logon/logon.h"
#include "testbed/machine/installation.h"
#include "testbed/machine/profiles.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/machine/uninstaller_run.h"
#include "testbed/profile/profile.h"
#include "tests/e2e/small_profile.h"
#include "tests/support/log_lines.h"

namespace {

using e2e::small_profile;
using test_support::LogLine;
using testbed::UserProfile;

constexpr char component[] = "{7E0C4F52-9A1B-4B86-8D3E-4D6572697661}";
constexpr char run_once_value[] = "Merivane removal";
constexpr std::size_t addin_tasks = 8;  // in small_profile

std::string component_key() { return std::string(testbed::active_setup_key) + "\\" + component; }

struct RegValue {
  bool found = false;
  DWORD type = REG_NONE;
  std::string text;  // a DWORD as decimal text
};

RegValue read_value(HKEY root, const std::string& key, const char* name, REGSAM view = 0) {
  RegValue value;
  base::unique_hkey opened;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE | view, opened.put()) != ERROR_SUCCESS)
    return value;
  BYTE data[1024];
  DWORD size = sizeof data;
  value.type = 0xdeadbeef;
  if (RegQueryValueExA(opened.get(), name, nullptr, &value.type, data, &size) != ERROR_SUCCESS)
    return value;
  value.found = true;
  if (value.type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD number = 0;
    std::copy(data, data + sizeof number, reinterpret_cast<BYTE*>(&number));
    value.text = std::to_string(number);
  } else {
    value.text.assign(reinterpret_cast<const char*>(data), size);
    if (!value.text.empty() && value.text.back() == '\0') value.text.pop_back();
  }
  return value;
}

// Where the logon entries' program lies: the common program files folder (of the program's own
// bitness) and its Quillaburst, a copy of the program when it ran from elsewhere.
std::string lasting_program() {
  char common[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common) != S_OK) return "";
  return std::string(common) + "\\Quillaburst\\UninstallMV.exe";
}

std::string local_app_data() {
  char path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", path, sizeof path);
  return length != 0 && length < sizeof path ? path : "";
}

std::size_t addin_tasks_left(const testbed::SimulatedMachine& machine) {
  const auto profile = testbed::Profile::load(machine.profile());
  std::size_t left = 0;
  for (const auto& folder : profile->folders())
    for (const std::uint32_t text : folder.items)
      left += text != testbed::Profile::no_text && profile->text(text) == "IPM.Task.Merivane";
  return left;
}

bool has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

UserProfile person(const char* name, const char* sid, bool loaded, bool folder, bool hive) {
  UserProfile profile = testbed::person_profile(name, sid);
  profile.loaded = loaded;
  profile.folder = folder;
  profile.hive = hive;
  return profile;
}

// Wine's own user is in ProfileList already, with HKCU as its hive and the shortcut on its
// desktop; the simulated machine lays its settings there.
UserProfile wine_user() {
  UserProfile profile;
  profile.sid = testbed::wine_user_sid;
  profile.loaded = true;
  return profile;
}

class Fleet : public ::testing::Test {
 protected:
  void SetUp() override { hives_before_ = testbed::loaded_hives(); }

  void TearDown() override {
    for (const UserProfile& profile : laid_) testbed::remove_profile(profile);
    for (const std::string& name : testbed::loaded_hives())
      if (!has(hives_before_, name)) testbed::unload_hive(name);
    testbed::delete_key_tree(HKEY_LOCAL_MACHINE, component_key(), KEY_WOW64_64KEY);
    testbed::delete_key_tree(HKEY_CURRENT_USER, component_key());
    testbed::delete_value(HKEY_CURRENT_USER, testbed::run_once_key, run_once_value);
    const std::string app_data = local_app_data();
    if (!app_data.empty()) testbed::remove_tree(app_data + "\\Quillaburst");
    if (lasting_program() != machine_.uninstaller()) DeleteFileA(lasting_program().c_str());
  }

  void lay(const std::vector<UserProfile>& profiles) {
    machine_.lay(testbed::program_directory(), small_profile);
    for (const UserProfile& profile : profiles) {
      laid_.push_back(profile);
      testbed::lay_profile(profile);
    }
  }

  std::string log_path() const { return machine_.data_dir + "fleet.log"; }

  DWORD run_fleet_removal() {
    const testbed::UninstallerRun run = testbed::run_uninstaller(
        machine_, "\"" + machine_.uninstaller() + "\" /allusers /quiet /log \"" + log_path() +
                      "\" %" + machine_.install_dir);
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.report.timed_out) << testbed::report_text(run.report);
    EXPECT_FALSE(run.report.confirmation.seen || run.report.dialog_seen);
    return run.exit_code;
  }

  std::vector<testbed::LogonCommand> play_logon() const {
    testbed::LogonOptions options;
    options.environment = machine_.environment();
    return testbed::play_logon(options);
  }

  static std::string logon_command(const char* mode) {
    return "\"" + lasting_program() + "\" /merivane-logon " + mode;
  }

  testbed::SimulatedMachine machine_;
  std::vector<UserProfile> laid_;
  std::vector<std::string> hives_before_;
};

// What one fleet run must leave: every person's part gone, in each hive, loaded or not; the
// system's and services' profiles as they were; no hive of the program's still loaded; no
// Outlook of anyone's touched; the component that finishes the job at each user's logon.
TEST_F(Fleet, RemovesEveryPersonsPartAndLeavesTheirOutlookToTheirLogon) {
  struct Row {
    const char* what;
    std::vector<UserProfile> profiles;
  };
  std::vector<UserProfile> others = testbed::system_profiles();
  others.push_back(testbed::service_profile("MerivaneAgent",
                                            "S-1-5-80-3141592653-589793238-"
                                            "462643383-279502884-197169399"));
  const Row rows[] = {
      {"logged on and on disk",
       {person("mv-ann", "S-1-5-21-1111-2222-3333-1001", true, true, true),
        person("mv-bob", "S-1-5-21-1111-2222-3333-1002", false, true, true)}},
      {"stale profiles",
       {person("mv-cat", "S-1-5-21-1111-2222-3333-1003", false, true, false),
        person("mv-dan", "S-1-5-21-1111-2222-3333-1004", false, false, false)}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TearDown();
    laid_.clear();
    std::vector<UserProfile> profiles = row.profiles;
    profiles.insert(profiles.end(), others.begin(), others.end());
    lay(profiles);
    const std::vector<std::string> hives = testbed::loaded_hives();
    const std::string own_shortcut =
        testbed::special_folder(CSIDL_DESKTOPDIRECTORY) + testbed::shortcut_name;

    EXPECT_EQ(run_fleet_removal(), 0u);

    std::string left;
    for (const std::string& line : testbed::describe_installation(machine_.install_dir))
      if (line.rfind("present", 0) == 0) left += line + "\n";
    EXPECT_EQ(left, "");
    EXPECT_EQ(testbed::loaded_hives(), hives) << "a hive of the program's is left loaded";
    EXPECT_FALSE(testbed::file_exists(own_shortcut));
    EXPECT_EQ(testbed::count_with(testbed::read_lines(machine_.standin_log()), {"outlook create"}),
              0u);
    EXPECT_EQ(addin_tasks_left(machine_), addin_tasks);

    const std::vector<LogLine> log = test_support::parse_log(log_path());
    const auto lines_naming = [&log](const char* event, const char* field,
                                     const std::string& value) {
      std::vector<LogLine> found;
      for (const LogLine& line : log)
        if (line.event == event && line.fields.count(field) && line.fields.at(field) == value)
          found.push_back(line);
      return found;
    };
    profiles.push_back(wine_user());
    for (const UserProfile& profile : profiles) {
      SCOPED_TRACE(profile.sid);
      if (profile.folder && profile.sid != testbed::wine_user_sid) {
        EXPECT_EQ(testbed::profile_shortcut_exists(profile), !profile.is_person());
      }
      if (profile.loaded) {
        EXPECT_FALSE(testbed::user_key_exists(profile.sid, testbed::maker_key));
      }
      if (profile.is_person()) {
        EXPECT_FALSE(lines_naming("profile", "sid", profile.sid).empty());
      }
      for (const char* key : {testbed::settings_key, testbed::product_key, testbed::maker_key}) {
        const std::vector<LogLine> deleted =
            lines_naming("key", "path", "HKU\\" + profile.sid + "\\" + key);
        if (profile.is_person() && profile.folder && profile.hive) {
          ASSERT_EQ(deleted.size(), 1u) << key;
          EXPECT_EQ(deleted.front().fields.at("outcome"), "deleted") << key;
        } else {
          EXPECT_TRUE(deleted.empty()) << key;
        }
      }
    }

    const std::string key = component_key();
    const RegValue name = read_value(HKEY_LOCAL_MACHINE, key, nullptr, KEY_WOW64_64KEY);
    const RegValue stub = read_value(HKEY_LOCAL_MACHINE, key, "StubPath", KEY_WOW64_64KEY);
    const RegValue version = read_value(HKEY_LOCAL_MACHINE, key, "Version", KEY_WOW64_64KEY);
    const RegValue installed = read_value(HKEY_LOCAL_MACHINE, key, "IsInstalled", KEY_WOW64_64KEY);
    EXPECT_EQ(name.type, DWORD(REG_SZ));
    EXPECT_EQ(name.text, "Merivane removal");
    EXPECT_EQ(stub.type, DWORD(REG_SZ));
    EXPECT_EQ(stub.text, logon_command("stub"));
    EXPECT_EQ(version.type, DWORD(REG_SZ));
    // Each registration newer than the last: "1,<year>,<month and day>,<hour and minute>".
    EXPECT_EQ(version.text.rfind("1,20", 0), 0u) << version.text;
    EXPECT_EQ(installed.type, DWORD(REG_DWORD));
    EXPECT_EQ(installed.text, "1");
  }
}

// Logons after a fleet run, one after the other: what the shell ran for the program, and what
// the user's Outlook and the user's stamp show afterwards.
struct Logon {
  const char* what;
  const char* rules;  // the Outlook profile laid afresh with these rules; nullptr: as it is
  bool stub_runs;
  bool user_runs;
  DWORD user_exit_code;
  bool converted;  // the add-in's tasks are standard tasks afterwards
  bool reinstall = false;  // Merivane installed again (files, entry, settings) before the logon
};

TEST_F(Fleet, EachUserConvertsTheirTasksAtTheirNextLogon) {
  const Logon converts_at_once[] = {
      {"first logon", nullptr, true, true, 0, true},
      {"next logon", nullptr, false, false, 0, true},
  };
  const Logon fails_then_converts[] = {
      {"Outlook's namespace refused",
       "fail object=Application member=GetNamespace hresult=0x80004005\n", true, true, 1603, false},
      {"Outlook answers again", "", false, true, 0, true},
      {"the logon after", nullptr, false, false, 0, true},
  };
  // A deployment system's supersedence: the removal, then a new installation at once.
  const Logon installed_again[] = {
      {"installed again", nullptr, true, false, 0, false, true},
      {"the logon after", nullptr, false, false, 0, false},
  };
  for (const auto& logons :
       {std::vector<Logon>(std::begin(converts_at_once), std::end(converts_at_once)),
        std::vector<Logon>(std::begin(fails_then_converts), std::end(fails_then_converts)),
        std::vector<Logon>(std::begin(installed_again), std::end(installed_again))}) {
    TearDown();
    laid_.clear();
    lay({person("mv-ann", "S-1-5-21-1111-2222-3333-1001", true, true, true)});
    ASSERT_EQ(run_fleet_removal(), 0u);
    bool reinstalled = false;
    for (const Logon& logon : logons) {
      SCOPED_TRACE(logon.what);
      if (logon.reinstall) testbed::lay_installation(machine_.install_dir);
      reinstalled = reinstalled || logon.reinstall;
      if (logon.rules != nullptr)
        testbed::write_file(machine_.profile(), small_profile + std::string(logon.rules));
      std::vector<testbed::LogonCommand> ran = play_logon();
      std::string records;
      for (const testbed::LogonCommand& command : ran)
        records += testbed::logon_record_text(command) + "\n";
      SCOPED_TRACE(records);

      std::size_t next = 0;
      if (logon.stub_runs) {
        ASSERT_GT(ran.size(), next);
        const testbed::LogonCommand& stub = ran[next++];
        EXPECT_EQ(stub.entry, std::string("active_setup ") + component);
        EXPECT_EQ(stub.command, logon_command("stub"));
        EXPECT_EQ(stub.exit_code, 0u);
        EXPECT_EQ(stub.elevation, "limited");
        // It only leaves the user's run for later; 10 s allow for a 32-bit build's emulation.
        EXPECT_LT(stub.milliseconds, 10000u);
      }
      if (logon.user_runs) {
        ASSERT_GT(ran.size(), next);
        const testbed::LogonCommand& user = ran[next++];
        EXPECT_EQ(user.entry, std::string("HKCU RunOnce ") + run_once_value);
        EXPECT_EQ(user.command, logon_command("user"));
        EXPECT_EQ(user.exit_code, logon.user_exit_code);
        EXPECT_EQ(user.elevation, "limited");
        const std::vector<LogLine> log =
            test_support::parse_log(local_app_data() + "\\Quillaburst\\Merivane removal.log");
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().words,
                  (std::vector<std::string>{"code", std::to_string(logon.user_exit_code)}));
      }
      EXPECT_EQ(ran.size(), next);

      EXPECT_EQ(addin_tasks_left(machine_), logon.converted ? 0u : addin_tasks);
      const bool failed = logon.user_runs && logon.user_exit_code != 0;
      EXPECT_EQ(testbed::value_exists(HKEY_CURRENT_USER, testbed::run_once_key, run_once_value),
                failed);
      // Nothing of the new installation's is touched: its files, entry, settings and shortcuts.
      if (reinstalled) {
        for (const std::string& line : testbed::describe_installation(machine_.install_dir))
          EXPECT_EQ(line.rfind("present", 0), 0u) << line;
        EXPECT_EQ(testbed::count_with(
                      testbed::read_lines(local_app_data() + "\\Quillaburst\\Merivane removal.log"),
                      {"reinstalled: nothing done"}),
                  1u);
      }
      // Done marks the registration in force as done for this user.
      const RegValue done = read_value(HKEY_CURRENT_USER, component_key(), "MerivaneDone");
      EXPECT_EQ(done.found, logon.converted || reinstalled);
      if (done.found) {
        EXPECT_EQ(done.type, DWORD(REG_SZ));
        EXPECT_EQ(done.text,
                  read_value(HKEY_LOCAL_MACHINE, component_key(), "Version", KEY_WOW64_64KEY).text);
      }
    }
  }
}

// A user whose desktop folder is a link (made by that user, to a folder of any name) gets
// nothing deleted through it by the fleet run, which runs with more rights than the user: the
// shortcut is left to the user's own part at logon, and what the link leads to stays.
TEST_F(Fleet, ADesktopThatIsALinkIsLeftToItsUsersLogon) {
  const UserProfile bob = person("mv-bob", "S-1-5-21-1111-2222-3333-1002", false, true, true);
  lay({bob});
  const std::string target = "C:\\merivane-target";
  testbed::remove_tree(target);
  testbed::make_directories(target);
  testbed::write_file(target + "\\Merivane.lnk");
  testbed::remove_tree(bob.directory() + "\\Desktop");
  testbed::make_directory_link(bob.directory() + "\\Desktop", target);

  EXPECT_EQ(run_fleet_removal(), 0u);
  EXPECT_TRUE(testbed::file_exists(target + "\\Merivane.lnk"));
  std::size_t told = 0;
  for (const LogLine& line : test_support::parse_log(log_path()))
    if (line.event == "profile" && line.fields.count("sid") && line.fields.at("sid") == bob.sid) {
      ++told;
      EXPECT_EQ(line.fields.at("shortcut"), "left_to_logon");
      EXPECT_EQ(line.fields.at("reason"), "link");
      EXPECT_EQ(line.fields.at("settings"), "removed");
    }
  EXPECT_EQ(told, 1u);
  testbed::remove_tree(bob.directory() + "\\Desktop");
  testbed::remove_tree(target);
}

}  // namespace
