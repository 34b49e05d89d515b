// A removal for every user through fakes of the profiles, the sessions and the logon.

#include "fleet/fleet.h"

#include <aclapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/unattended.h"
#include "fleet/lasting_copy.h"
#include "fleet/logon.h"
#include "parts/program_parts.h"
#include "sequence/removal_lock.h"
#include "testbed/logon/logon.h"
#include "testbed/machine/installation.h"
#include "testbed/machine/text_lines.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_system.h"

namespace {

using test_support::fakes;
using test_support::record;
using test_support::World;
using test_support::world;

using Fleet = test_support::FreshWorld;

// The run's own token; nothing here starts another process of the program.
app::TokenFacts own_token;
const app::PartProcesses no_other_process{
    [] { return own_token; },
    [](std::string&) { return app::ShellStanding::none; },
    [](const char*, base::unique_handle&) { return DWORD{ERROR_ACCESS_DENIED}; },
    [](const char*, base::unique_handle&) { return DWORD{ERROR_ACCESS_DENIED}; },
    [](HANDLE process) { return GetProcessId(process); },
};

// What the fake fleet answers: three people, sessions whose user's part ends with the code
// given (or never, within the bound; or has no token to start with), the lasting copy placed or
// not, and a logon registration that holds or not.
constexpr DWORD no_token = 0xFFFFFFFF;
struct FleetWorld {
  std::vector<DWORD> session_exits;    // per session; STILL_ACTIVE: never ends
  const char* copy_refused = nullptr;  // why the lasting copy could not be placed
  bool registers = true;
  std::vector<std::string> started;
};
FleetWorld fleet_world;

// Set when the test is over: a session's part that "never ends" ends then, before the
// process does (a 32-bit process under qemu-i386 dies at its end beside a live thread).
base::unique_handle test_over(CreateEventA(nullptr, TRUE, FALSE, nullptr));

DWORD WINAPI session_part(void* exit_code) {
  const auto code = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(exit_code));
  if (code == STILL_ACTIVE) WaitForSingleObject(test_over.get(), 10000);
  return code;
}

constexpr DWORD session_limit_ms = 1000;

const app::FleetSystem fake_fleet{
    [] {
      return std::vector<removal::UserProfile>{{"S-1-5-21-9-1", "C:\\users\\a"},
                                               {"S-1-5-21-9-2", "C:\\users\\b"},
                                               {"S-1-5-21-9-3", "C:\\users\\c"}};
    },
    [](const removal::UserProfile& profile, removal::Report*) {
      record("profile " + profile.sid);
      removal::ProfileOutcome outcome;
      outcome.hive = removal::HiveReach::loaded_now;
      outcome.settings_removed = outcome.shortcut_removed = true;
      return outcome;
    },
    [] {
      std::vector<app::UserSession> sessions;
      for (std::size_t at = 0; at < fleet_world.session_exits.size(); ++at) {
        app::UserSession session;
        session.id = DWORD(at + 1);
        if (fleet_world.session_exits[at] == no_token) {
          session.error = ERROR_PRIVILEGE_NOT_HELD;
        } else {
          OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, session.token.put());
          session.sid = "S-1-5-21-9-" + std::to_string(at + 1);
        }
        sessions.push_back(std::move(session));
      }
      return sessions;
    },
    [] {
      app::LastingCopy copy;
      copy.reason = fleet_world.copy_refused;
      if (copy.reason == nullptr) copy.program = "C:\\Common\\Quillaburst\\UninstallMV.exe";
      return copy;
    },
    [](const std::string& program, std::string& version, unsigned long& error) {
      record("registered " + program);
      version = "1,2,3,4";
      error = fleet_world.registers ? 0 : ERROR_ACCESS_DENIED;
      return fleet_world.registers;
    },
    [](HANDLE, const char* program, const char* log_path, base::unique_handle& process) {
      const DWORD exit_code = fleet_world.session_exits[fleet_world.started.size()];
      fleet_world.started.push_back(log_path);
      record(std::string("session part ") + program);
      testbed::write_file(
          log_path, "2026-12-08 10:00:00.000 exit code " + std::to_string(exit_code) + "\r\n");
      process.reset(CreateThread(nullptr, 0, session_part,
                                 reinterpret_cast<void*>(UINT_PTR{exit_code}), 0, nullptr));
      return DWORD{ERROR_SUCCESS};
    },
    [](HANDLE thread, DWORD limit_ms, DWORD& exit_code) {
      return WaitForSingleObject(thread, limit_ms) == WAIT_OBJECT_0 &&
             GetExitCodeThread(thread, &exit_code) != FALSE;
    },
    session_limit_ms,
};

// The system account, or /allusers, runs the machine's part here and each person's through
// the profiles, the sessions and the logon; the run's own Outlook, settings and desktop are
// never touched. Every session's part is started, then all are waited for within the one
// bound; one not done, not started or not done in time is the logon's, never done. The logon
// entries and the sessions run the lasting copy; without it, or without a registration for
// the logon, the run fails.
TEST_F(Fleet, ARemovalForEveryUserDoesEachPersonsPartAsThatPerson) {
  // The sessions' parts are played by threads of this process, which a 32-bit process under
  // qemu-i386 does not always survive (a segmentation fault in the lane, seen); the 32-bit
  // program's own fleet run is an end-to-end case.
  if (sizeof(void*) == 4) GTEST_SKIP() << "qemu-i386 and threads";
  const app::TokenFacts system{true, TokenElevationTypeDefault, true};
  const app::TokenFacts administrator{false, TokenElevationTypeFull, true};
  const app::TokenFacts limited{false, TokenElevationTypeLimited, false};
  struct Row {
    app::TokenFacts token;
    const char* switches;
    std::vector<DWORD> session_exits;
    int exit_code;
    std::vector<const char*> told;  // lines of the log
    bool registers = true;
    const char* copy_refused = nullptr;
  };
  const char* const every_counted = "fleet profiles=3 done=1 deferred=2 failed=0";
  // clang-format off
  const Row rows[] = {
      {system, "/quiet", {}, 0, {"fleet profiles=3 done=0 deferred=3 failed=0"}},
      {system, "/passive", {0, 1603}, 0, {every_counted}},
      {administrator, "/allusers", {0, STILL_ACTIVE, STILL_ACTIVE}, 0,
       {"sid=S-1-5-21-9-3 process=0 timed_out_ms=1000 left_to=logon", every_counted}},
      {administrator, "/allusers", {0, no_token}, 0,
       {"session id=2 not_started code=1314 left_to=logon", every_counted}},
      {administrator, "/allusers", {0}, 1603, {"fleet profiles=3 done=1 deferred=0 failed=2"},
       false},
      {system, "/quiet", {0}, 1603,
       {"logon_registration_failed reason=folder_writable",
        "session id=1 sid=S-1-5-21-9-1 not_started code=2",
        "fleet profiles=3 done=0 deferred=0 failed=3"},
       true, "folder_writable"},
      {limited, "/allusers /passive", {}, 1603, {"parts needs_administrator"}},
      {administrator, "/quiet", {}, 0, {"parts user=here machine=here"}},
  };
  // clang-format on
  const std::string directory = "C:\\merivane-tests\\fleet";
  testbed::make_directories(directory);
  const std::string log = directory + "\\fleet.log";
  for (const Row& row : rows) {
    const unsigned at = unsigned(&row - rows);
    world = World{};
    fleet_world = FleetWorld{row.session_exits, row.copy_refused, row.registers, {}};
    DeleteFileA(log.c_str());
    own_token = row.token;
    app::ProgramParts parts(fakes, no_other_process);
    app::FleetParts fleet(fakes, row.token, fake_fleet);
    const std::string arguments = std::string(row.switches) + " /log " + log + " %C:\\M\\";
    const DWORD begun = GetTickCount();
    EXPECT_EQ(app::run_with_switches("UninstallMV.exe", arguments.c_str(), fakes, &parts, &fleet),
              row.exit_code)
        << at;
    // Sessions that never end are waited for together: one bound, not one each.
    EXPECT_LT(GetTickCount() - begun, session_limit_ms * 19 / 10) << at << " waited past the bound";
    const auto lines = testbed::read_lines(log);
    for (const char* told : row.told)
      EXPECT_EQ(testbed::count_with(lines, {told}), 1u) << at << testing::PrintToString(lines);
    const bool for_every_user = row.token.system || std::strstr(row.switches, "/allusers");
    const auto ran = [&](const std::string& event) {
      return std::find(world.events.begin(), world.events.end(), event) != world.events.end();
    };
    const bool ready = std::strstr(row.told.front(), "needs_administrator") == nullptr;
    EXPECT_EQ(ran("outlook") || ran("settings") || ran("desktop shortcut"),
              ready && !for_every_user)
        << at << " the run's own user's part";
    EXPECT_EQ(ran("files C:\\M\\") && ran("programs shortcut"), ready) << at;
    EXPECT_EQ(ran("start dialog"),
              ready && !row.token.system && std::strstr(row.switches, "/passive"))
        << at << " the system account has no desktop anyone sees";
    // What every logon and session runs is the lasting copy, never this process's own file.
    const std::string copy = "C:\\Common\\Quillaburst\\UninstallMV.exe";
    EXPECT_EQ(ran("registered " + copy), ready && for_every_user && !row.copy_refused) << at;
    std::size_t startable = 0;
    for (const DWORD exit : row.session_exits) startable += exit != no_token && !row.copy_refused;
    EXPECT_EQ(fleet_world.started.size(), startable) << at;
    // Each session's own log is made by this run, taken into its log, and gone.
    for (std::size_t session = 0; session < startable; ++session) {
      EXPECT_TRUE(ran("session part " + copy)) << at;
      const std::string taken = "session " + std::to_string(session + 1) + ": 2026-12-08";
      EXPECT_EQ(testbed::count_with(lines, {taken.c_str()}), 1u) << at;
      EXPECT_FALSE(testbed::file_exists(fleet_world.started[session])) << at;
    }
  }
  SetEvent(test_over.get());
  Sleep(200);
  testbed::remove_tree(directory);
}

constexpr char component_key[] =
    "Software\\Microsoft\\Active Setup\\Installed Components\\"
    "{7E0C4F52-9A1B-4B86-8D3E-4D6572697661}";
constexpr char run_once_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr char entry_key[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillaburst Merivane";

std::string text_value(HKEY root, const char* key, const char* name, REGSAM view = 0) {
  char text[128] = {};
  DWORD size = sizeof text - 1;
  base::unique_hkey opened;
  if (RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE | view, opened.put()) != ERROR_SUCCESS ||
      RegQueryValueExA(opened.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                       &size) != ERROR_SUCCESS)
    return "";
  return text;
}

std::string user_log() {
  char path[MAX_PATH];
  return app::user_part_log_path(path) ? path : "";
}

// The runs a logon starts after a removal for every user: nothing of the user's after a
// reinstall; done for good with no Outlook to convert in; left to the next logon when they
// cannot finish, but at most logon_tries times; and never beside another run of the user's
// part. The steps are the fakes'; the registry and the user's log are real.
TEST_F(Fleet, ALogonsPartNeverUndoesAReinstallAndEndsForGood) {
  struct Row {
    const char* what;
    const char* run;  // "stub" or "user"
    bool reinstalled;
    long outlook_failure;
    DWORD tries_before;  // of this registration's, at earlier logons
    int exit_code;
    bool steps_run;
    bool done;         // the registration marked done for the user
    bool run_once;     // the user's part left to the next logon
    const char* told;  // the user's log's last line but its end
  };
  const long failed = E_FAIL;
  const Row rows[] = {
      {"stub", "stub", false, 0, 0, 0, false, false, true, nullptr},
      {"stub after a reinstall", "stub", true, 0, 0, 0, false, true, false,
       "reinstalled: nothing done"},
      {"after a reinstall", "user", true, 0, 0, 0, false, true, false, "reinstalled: nothing done"},
      {"no Outlook registered", "user", false, REGDB_E_CLASSNOTREG, 0, 0, true, true, false,
       "step 4 done"},
      {"Outlook fails", "user", false, failed, 0, 1603, true, false, true, "left_to_next_logon"},
      {"the last logon's try", "user", false, failed, app::logon_tries - 1, 1603, true, true, false,
       "gave_up tries=20"},
  };
  const std::string version = "1,2026,1208,1200";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    world = World{};
    world.outlook_failure = row.outlook_failure;
    testbed::set_string_value(HKEY_LOCAL_MACHINE, component_key, "Version", version,
                              KEY_WOW64_64KEY);
    testbed::delete_key_tree(HKEY_CURRENT_USER, component_key);
    testbed::delete_value(HKEY_CURRENT_USER, run_once_key, "Merivane removal");
    if (row.tries_before != 0) {
      testbed::set_string_value(HKEY_CURRENT_USER, component_key, "MerivaneTriesFor", version);
      base::unique_hkey stamp;
      RegOpenKeyExA(HKEY_CURRENT_USER, component_key, 0, KEY_SET_VALUE, stamp.put());
      RegSetValueExA(stamp.get(), "MerivaneTries", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&row.tries_before), sizeof(DWORD));
    }
    for (const testbed::RegistryView& view : testbed::uninstall_entry_views())
      testbed::delete_key_tree(HKEY_LOCAL_MACHINE, entry_key, view.access);
    if (row.reinstalled)
      testbed::set_string_value(HKEY_LOCAL_MACHINE, entry_key, "DisplayName", "Merivane");
    DeleteFileA(user_log().c_str());

    EXPECT_EQ(app::run_at_logon(row.run, fakes), row.exit_code);
    EXPECT_EQ(!world.events.empty(), row.steps_run) << testing::PrintToString(world.events);
    EXPECT_EQ(text_value(HKEY_CURRENT_USER, component_key, "MerivaneDone"),
              row.done ? version : "");
    EXPECT_EQ(testbed::value_exists(HKEY_CURRENT_USER, run_once_key, "Merivane removal"),
              row.run_once);
    const auto lines = testbed::read_lines(user_log());
    if (row.told != nullptr) {
      ASSERT_GE(lines.size(), 2u);
      EXPECT_NE(lines[lines.size() - 2].find(row.told), std::string::npos) << lines.back();
    }
    testbed::delete_key_tree(HKEY_LOCAL_MACHINE, entry_key);
  }
  testbed::delete_key_tree(HKEY_LOCAL_MACHINE, component_key, KEY_WOW64_64KEY);
  testbed::delete_key_tree(HKEY_CURRENT_USER, component_key);
  testbed::delete_value(HKEY_CURRENT_USER, run_once_key, "Merivane removal");
}

// A user done for one registration is reached again by the next, even one made within the same
// minute: the logon's stub then leaves the user's part to RunOnce once more.
TEST_F(Fleet, EachRegistrationIsNewerThanTheLast) {
  std::string first, second;
  unsigned long error = 0xdeadbeef;
  ASSERT_TRUE(app::register_for_logon("C:\\Q\\UninstallMV.exe", first, error));
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(app::run_at_logon("user", fakes), 0);
  ASSERT_EQ(text_value(HKEY_CURRENT_USER, component_key, "MerivaneDone"), first);
  ASSERT_TRUE(app::register_for_logon("C:\\Q\\UninstallMV.exe", second, error));
  EXPECT_GT(testbed::compare_component_versions(second, first), 0) << first << " " << second;
  testbed::delete_value(HKEY_CURRENT_USER, run_once_key, "Merivane removal");
  EXPECT_EQ(app::run_at_logon("stub", fakes), 0);
  EXPECT_TRUE(testbed::value_exists(HKEY_CURRENT_USER, run_once_key, "Merivane removal"));
  EXPECT_EQ(text_value(HKEY_LOCAL_MACHINE, component_key, "StubPath", KEY_WOW64_64KEY),
            "\"C:\\Q\\UninstallMV.exe\" /merivane-logon stub");
  testbed::delete_key_tree(HKEY_LOCAL_MACHINE, component_key, KEY_WOW64_64KEY);
  testbed::delete_key_tree(HKEY_CURRENT_USER, component_key);
  testbed::delete_value(HKEY_CURRENT_USER, run_once_key, "Merivane removal");
}

// Only one run of a user's part at a time in a session: a logon's run started while this
// process holds the lock (an interactive removal's) does nothing and leaves it to the next
// logon.
TEST_F(Fleet, ALogonsRunBesideAnotherRunOfTheUsersPartDoesNothing) {
  testbed::set_string_value(HKEY_LOCAL_MACHINE, component_key, "Version", "1,2,3,4",
                            KEY_WOW64_64KEY);
  app::unique_removal_lock lock;
  ASSERT_TRUE(app::take_user_part_lock(lock));
  base::unique_handle process;
  ASSERT_TRUE(test_support::start_program("/merivane-logon user", process));
  ASSERT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.get(), &exit_code);
  EXPECT_EQ(exit_code, 1618u);
  EXPECT_EQ(text_value(HKEY_CURRENT_USER, run_once_key, "Merivane removal"),
            "\"" + testbed::program_directory() + "UninstallMV.exe\" /merivane-logon user");
  lock.reset();
  testbed::delete_key_tree(HKEY_LOCAL_MACHINE, component_key, KEY_WOW64_64KEY);
  testbed::delete_value(HKEY_CURRENT_USER, run_once_key, "Merivane removal");
}

// What every user's logon runs lies in the common program files folder's Quillaburst, copied
// there from elsewhere; a folder that users may write (Wine maps Everyone's rights to the Unix
// mode's "other" bits) is refused, and nothing is put there.
TEST(LastingCopy, IsInAFolderOnlyAdministratorsCanWrite) {
  char common[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common), S_OK);
  const std::string folder = std::string(common) + "\\Quillaburst";
  const std::string copy = folder + "\\UninstallMV.exe";
  for (const bool users_write : {false, true}) {
    testbed::remove_tree(folder);
    testbed::make_directories(folder);
    if (users_write) {
      ASSERT_EQ(
          SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr),
          DWORD{ERROR_SUCCESS});
    }
    const app::LastingCopy placed = app::place_lasting_copy();
    EXPECT_EQ(placed.program, users_write ? "" : copy) << users_write;
    EXPECT_STREQ(placed.reason, users_write ? "folder_writable" : nullptr) << users_write;
    EXPECT_EQ(testbed::file_exists(copy), !users_write);
  }
  testbed::remove_tree(folder);
}

}  // namespace
