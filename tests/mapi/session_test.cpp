// The MAPI session and the default-form write against the MAPI32 stand-in, placed in the
// system directory, which logs every call. The session is process-wide and latches its failure, so
// each scenario runs in a child of its own; the parent reads the stand-in's log afterwards.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_any.h"
#include "mapi/folder_form.h"
#include "mapi/form_library.h"
#include "mapi/session.h"
#include "testbed/machine/installation.h"
#include "tests/support/child_process.h"
#include "tests/support/import_hook.h"
#include "tests/support/log_lines.h"

// Allocations of one size fail when a countdown reaches them: in a write, the store's and the
// folder's holders are the only allocations of their size.
std::size_t failing_size = 0;
int failing_countdown = 0;

void* operator new(std::size_t size) {
  if (failing_size != 0 && size == failing_size && --failing_countdown == 0) {
    failing_size = 0;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

using test_support::count_with;
using test_support::lines_with;
using test_support::position_of;
using test_support::read_lines;
using test_support::set_mapix;

const std::string directory = "C:\\merivane-tests\\mapi";
const std::string profile_path = directory + "\\profile.txt";
const std::string log_path = directory + "\\standin.log";

constexpr char base_profile[] =
    "folder path=Personal store=0011AABB entry=00000001 type=0\n"
    "folder path=Personal/Tasks entry=0000000A type=3 form=IPM.Task.Merivane "
    "display=\"Merivane Task\"\n"
    "folder path=Archive store=00FF00EE entry=00000001 type=0\n"
    "folder path=Archive/Tasks entry=0a0B0c type=3 form=IPM.Task.Merivane\n";

class MapiSession : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed::remove_tree(directory);
    testbed::make_directories(directory);
    set_mapix("1");
    place_standin("mapi32.dll");
  }

  static void place_standin(const std::string& variant) {
    testbed::place_system_library(testbed::program_directory() + variant, "mapi32.dll");
  }

  // Runs the child scenario with the fixture and returns the stand-in's log.
  std::vector<std::string> run(const std::string& scenario, const std::string& extra = "") {
    testbed::write_file(profile_path, base_profile + extra);
    const DWORD exit_code = test_support::run_child(
        "MapiChild." + scenario,
        {{"MERIVANE_PROFILE", profile_path}, {"MERIVANE_STANDIN_LOG", log_path}});
    EXPECT_EQ(exit_code, 0u) << scenario << ": the child's checks failed";
    return read_lines(log_path);
  }
};

// ---- children --------------------------------------------------------------------------

TEST(MapiChild, LogsOnOnceAndSharesTheSession) {
  CHILD_ONLY();
  EXPECT_FALSE(mapi::mapi_session_exists());
  mapi::MapiSession* session = mapi::get_mapi_session();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->state(), mapi::MapiSession::logged_on);
  EXPECT_TRUE(mapi::mapi_session_exists());
  EXPECT_EQ(mapi::get_mapi_session(), session);
  mapi::release_mapi_session();
  EXPECT_FALSE(mapi::mapi_session_exists());
  EXPECT_EQ(GetModuleHandleA("MAPI32.DLL"), nullptr) << "the library stayed loaded";
  mapi::release_mapi_session();
  // No failure was latched: asked again, a new session is made.
  EXPECT_NE(mapi::get_mapi_session(), nullptr);
  mapi::release_mapi_session();
}

// Windows 7 without its update for the search flags refuses LOAD_LIBRARY_SEARCH_SYSTEM32.
test_support::ImportHook* load_hook = nullptr;
HMODULE WINAPI refuse_search_flags(LPCSTR name, HANDLE file, DWORD flags) {
  if ((flags & LOAD_LIBRARY_SEARCH_SYSTEM32) == 0)
    return load_hook->original<decltype(LoadLibraryExA)>()(name, file, flags);
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

TEST(MapiChild, LoadsWithoutTheSearchFlags) {
  CHILD_ONLY();
  test_support::ImportHook hook("kernel32.dll", "LoadLibraryExA", refuse_search_flags);
  ASSERT_TRUE(hook.hooked());
  load_hook = &hook;
  mapi::get_mapi_session();
  mapi::release_mapi_session();
}

TEST(MapiChild, OffersAFormManagerAsExpected) {
  CHILD_ONLY();
  char expected[4] = {};
  GetEnvironmentVariableA("MERIVANE_EXPECTED", expected, sizeof expected);
  EXPECT_EQ(mapi::form_manager_available(), expected[0] == '1');
  base::unique_com<IMAPIFormMgr> manager;
  if (expected[0] == '1') {
    EXPECT_EQ(mapi::get_mapi_session()->open_form_manager(manager), S_OK);
  }
  manager.reset();
  mapi::release_mapi_session();
}

TEST(MapiChild, UnavailableForTheRestOfTheProcess) {
  CHILD_ONLY();
  EXPECT_EQ(mapi::get_mapi_session(), nullptr);
  EXPECT_FALSE(mapi::mapi_session_exists());
  EXPECT_EQ(mapi::get_mapi_session(), nullptr);
  EXPECT_FALSE(mapi::set_folder_default_form("0011AABB", "0000000A", "IPM.Task", "Task"));
  EXPECT_EQ(GetModuleHandleA("MAPI32.DLL"), nullptr) << "the library stayed loaded";
  mapi::release_mapi_session();
  mapi::release_mapi_session();
  EXPECT_FALSE(mapi::mapi_session_exists());
}

TEST(MapiChild, LogonOnlyWhenInitialised) {
  CHILD_ONLY();
  mapi::MapiSession session;
  ASSERT_TRUE(session.is_ready());
  session.logon(0, MAPI_NO_MAIL, nullptr, nullptr);
  EXPECT_EQ(session.state(), mapi::MapiSession::logged_on);
  try {
    session.logon(0, MAPI_NO_MAIL, nullptr, nullptr);
    ADD_FAILURE() << "a second logon was let through";
  } catch (mapi::ERROR_CODE code) {
    EXPECT_EQ(code, mapi::SESSION_NOT_READY);
  }
}

TEST(MapiChild, WritesTheDefaultForm) {
  CHILD_ONLY();
  EXPECT_TRUE(mapi::set_folder_default_form("0011AABB", "0000000A", "IPM.Task", "Task"));
  EXPECT_TRUE(mapi::mapi_session_exists());
  mapi::release_mapi_session();
}

TEST(MapiChild, TwoWritesShareTheSession) {
  CHILD_ONLY();
  EXPECT_TRUE(mapi::set_folder_default_form("0011aabb", "0000000a", "IPM.Task", "Task"));
  EXPECT_TRUE(mapi::set_folder_default_form("00FF00EE", "0A0B0C", "IPM.Task", "Task"));
  mapi::release_mapi_session();
}

// Every failure of the write answers false and leaves the session held.
TEST(MapiChild, FailedWritesAnswerFalse) {
  CHILD_ONLY();
  EXPECT_FALSE(mapi::set_folder_default_form("DEAD", "0000000A", "IPM.Task", "Task"))
      << "unknown store";
  EXPECT_FALSE(mapi::set_folder_default_form("0011AABB", "BEEF", "IPM.Task", "Task"))
      << "unknown entry";
  EXPECT_FALSE(mapi::set_folder_default_form("0011AABB", "0011AABB", "IPM.Task", "Task"))
      << "an entry that is no folder";
  EXPECT_FALSE(mapi::set_folder_default_form(nullptr, "0000000A", "IPM.Task", "Task"));
  EXPECT_FALSE(mapi::set_folder_default_form("0011AABB", nullptr, "IPM.Task", "Task"));
  EXPECT_FALSE(mapi::set_folder_default_form("0011AABB", "", "IPM.Task", "Task"));
  EXPECT_TRUE(mapi::mapi_session_exists());
  mapi::release_mapi_session();
}

TEST(MapiChild, RefusedSetPropsAnswersFalse) {
  CHILD_ONLY();
  EXPECT_FALSE(mapi::set_folder_default_form("0011AABB", "0000000A", "IPM.Task", "Task"));
  EXPECT_TRUE(mapi::mapi_session_exists());
  mapi::release_mapi_session();
}

static_assert(sizeof(mapi::MapiStore) == sizeof(mapi::MapiFolder));

TEST(MapiChild, HoldersThatCannotBeMadeGiveTheirReferencesBack) {
  CHILD_ONLY();
  for (const int holder : {1, 2}) {  // the store's, then the folder's
    failing_size = sizeof(mapi::MapiStore);
    failing_countdown = holder;
    EXPECT_FALSE(mapi::set_folder_default_form("0011AABB", "0000000A", "IPM.Task", "Task"));
    failing_size = 0;
  }
  mapi::release_mapi_session();
}

// ---- scenarios ---------------------------------------------------------------------------

TEST_F(MapiSession, LogsOnWithoutUserInterfaceOnceAndTearsDownOnce) {
  const auto log = run("LogsOnOnceAndSharesTheSession");
  const auto initialise = lines_with(log, {"MAPIInitialize"});
  ASSERT_EQ(initialise.size(), 2u);  // the second session after the release
  EXPECT_NE(initialise[0].find("version=0 flags=0x00000001 -> 0x00000000"), std::string::npos)
      << initialise[0];
  const auto logons = lines_with(log, {"MAPILogonEx"});
  ASSERT_EQ(logons.size(), 2u);
  EXPECT_NE(logons[0].find("ui=0 profile=null password=null flags=0x00008020 -> 0x00000000"),
            std::string::npos)
      << logons[0];
  EXPECT_EQ(lines_with(log, {"Logoff ui=0 flags=0x00000000 reserved=0"}).size(), 2u);
  EXPECT_EQ(lines_with(log, {"MAPIUninitialize"}).size(), 2u);
  EXPECT_EQ(lines_with(log, {"mapi unload"}).size(), 2u);
  EXPECT_LT(position_of(log, "Logoff"), position_of(log, "MAPIUninitialize"));
  EXPECT_LT(position_of(log, "destroy MAPISession"), position_of(log, "MAPIUninitialize"));
  EXPECT_EQ(lines_with(log, {"summary", "objects=0 references=0"}).size(), 2u);
}

TEST_F(MapiSession, AFailedLogonLatchesAndTearsDownOnce) {
  const auto log = run("UnavailableForTheRestOfTheProcess",
                       "fail object=MAPI member=MAPILogonEx hresult=0x80040111\n");
  EXPECT_EQ(lines_with(log, {"MAPIInitialize"}).size(), 1u);
  EXPECT_EQ(lines_with(log, {"MAPILogonEx", "0x80040111"}).size(), 1u);
  EXPECT_EQ(lines_with(log, {"MAPIUninitialize"}).size(), 1u);
  EXPECT_EQ(lines_with(log, {"mapi unload"}).size(), 1u);
  EXPECT_TRUE(lines_with(log, {"OpenMsgStore"}).empty());
}

TEST_F(MapiSession, InitialiseResultsOtherThanZeroMakeMapiUnavailable) {
  for (const char* result : {"0x00000001", "0x80004005"}) {
    const auto log =
        run("UnavailableForTheRestOfTheProcess",
            std::string("fail object=MAPI member=MAPIInitialize hresult=") + result + "\n");
    EXPECT_EQ(lines_with(log, {"MAPIInitialize", result}).size(), 1u) << result;
    EXPECT_TRUE(lines_with(log, {"MAPILogonEx"}).empty()) << result;
    EXPECT_TRUE(lines_with(log, {"MAPIUninitialize"}).empty()) << result;
    EXPECT_EQ(lines_with(log, {"mapi unload"}).size(), 1u) << result;
    testbed::remove_tree(log_path);
  }
}

TEST_F(MapiSession, AMissingExportMakesMapiUnavailableAndUnloadsIt) {
  place_standin("no-uninitialize\\mapi32.dll");
  const auto log = run("UnavailableForTheRestOfTheProcess");
  EXPECT_EQ(lines_with(log, {"mapi load"}).size(), 1u) << "the stand-in was not loaded";
  EXPECT_TRUE(lines_with(log, {"MAPIInitialize"}).empty());
  EXPECT_EQ(lines_with(log, {"mapi unload"}).size(), 1u);
}

// The form manager is bound where the library has it, by its plain name or, as some 32-bit
// libraries export it, by its decorated one; a library without it is no failure of MAPI's.
TEST_F(MapiSession, TheFormManagerIsBoundByEitherExportName) {
  const std::pair<const char*, bool> variants[] = {{"mapi32.dll", true},
                                                   {"no-form-mgr\\mapi32.dll", false},
                                                   {"decorated-form-mgr\\mapi32.dll", true}};
  for (const auto& [variant, offered] : variants) {
    if (sizeof(void*) == 8 && std::strstr(variant, "decorated") != nullptr) continue;
    place_standin(variant);
    testbed::write_file(profile_path, base_profile);
    EXPECT_EQ(test_support::run_child("MapiChild.OffersAFormManagerAsExpected",
                                      {{"MERIVANE_PROFILE", profile_path},
                                       {"MERIVANE_STANDIN_LOG", log_path},
                                       {"MERIVANE_EXPECTED", offered ? "1" : "0"}}),
              0u)
        << variant;
    EXPECT_EQ(count_with(read_lines(log_path), {"MAPIOpenFormMgr", "-> 0x00000000"}),
              offered ? 1u : 0u)
        << variant;
    testbed::remove_tree(log_path);
  }
}

// The stand-in beside this program is what a planted MAPI32.DLL would be.
TEST_F(MapiSession, OnlyTheSystemDirectorysLibraryIsLoaded) {
  testbed::remove_system_library("mapi32.dll");
  ASSERT_TRUE(testbed::file_exists(testbed::program_directory() + "mapi32.dll"));
  const auto log = run("UnavailableForTheRestOfTheProcess");
  EXPECT_TRUE(lines_with(log, {"mapi load"}).empty()) << "a library beside the program ran";
}

// Where the platform refuses the search flags, the system directory is named in full: the
// library beside this program still never loads.
TEST_F(MapiSession, WithoutTheSearchFlagsTheSystemDirectorysLibraryIsStillTheOneLoaded) {
  for (const bool in_system : {true, false}) {
    if (!in_system) testbed::remove_system_library("mapi32.dll");
    EXPECT_EQ(lines_with(run("LoadsWithoutTheSearchFlags"), {"mapi load"}).size(),
              in_system ? 1u : 0u)
        << (in_system ? "the system directory's library was not loaded"
                      : "a library beside the program ran");
    testbed::remove_tree(log_path);
  }
}

TEST_F(MapiSession, LogonOfASessionInAnyOtherStateIsRefused) {
  const auto log = run("LogonOnlyWhenInitialised");
  EXPECT_EQ(lines_with(log, {"MAPILogonEx"}).size(), 1u);
  EXPECT_EQ(lines_with(log, {"MAPIUninitialize"}).size(), 1u);
}

TEST_F(MapiSession, TheWriteOpensStoreAndFolderAndSetsBothProperties) {
  const auto log = run("WritesTheDefaultForm");
  EXPECT_EQ(lines_with(log, {"OpenMsgStore ui=0 entry=0011AABB interface=null flags=0x00000084",
                             "-> 0x00000000"})
                .size(),
            1u);
  EXPECT_EQ(lines_with(log, {"OpenEntry entry=0000000A interface=null flags=0x00000001",
                             "type=3 -> 0x00000000"})
                .size(),
            1u);
  const auto set = lines_with(log, {"SetProps"});
  ASSERT_EQ(set.size(), 1u);
  EXPECT_NE(set[0].find("MAPIFolder:Personal/Tasks SetProps count=2 "
                        "values=0x36E5001E:IPM.Task,0x36E6001E:Task problems=asked "
                        "-> 0x00000000"),
            std::string::npos)
      << set[0];
  EXPECT_LT(position_of(log, "destroy MAPIFolder"), position_of(log, "destroy MAPIStore"));
  EXPECT_LT(position_of(log, "destroy MAPIStore"), position_of(log, "destroy MAPISession"));
  const auto profile = read_lines(profile_path);
  EXPECT_EQ(profile.back(), "defaultform folder=Personal/Tasks class=IPM.Task display=Task");
  EXPECT_EQ(lines_with(log, {"summary", "objects=0 references=0"}).size(), 1u);
}

TEST_F(MapiSession, HoldersThatCannotBeAllocatedLeakNothing) {
  const auto log = run("HoldersThatCannotBeMadeGiveTheirReferencesBack");
  EXPECT_EQ(lines_with(log, {"OpenEntry", "-> 0x00000000"}).size(), 1u);
  EXPECT_TRUE(lines_with(log, {"SetProps"}).empty());
  EXPECT_EQ(lines_with(log, {"destroy MAPIStore"}).size(), 2u);
  EXPECT_EQ(lines_with(log, {"summary", "objects=0 references=0"}).size(), 1u);
}

TEST_F(MapiSession, TwoWritesInARowShareOneSession) {
  const auto log = run("TwoWritesShareTheSession");
  EXPECT_EQ(lines_with(log, {"MAPILogonEx"}).size(), 1u);
  EXPECT_EQ(lines_with(log, {"OpenMsgStore", "-> 0x00000000"}).size(), 2u);
  EXPECT_EQ(lines_with(log, {"OpenEntry entry=0A0B0C", "-> 0x00000000"}).size(), 1u);
  EXPECT_EQ(lines_with(log, {"destroy MAPIStore"}).size(), 2u);
}

TEST_F(MapiSession, EveryFailedOpenGivesBackWhatWasOpened) {
  const auto log = run("FailedWritesAnswerFalse");
  // Unknown store, unknown entry, the store's own id, no store id, no entry id, empty entry id.
  EXPECT_EQ(lines_with(log, {"OpenMsgStore"}).size(), 5u) << "an absent store id was decoded";
  EXPECT_EQ(lines_with(log, {"OpenMsgStore", "0x8004010F"}).size(), 1u);
  EXPECT_EQ(lines_with(log, {"OpenEntry"}).size(), 3u) << "an absent entry id was decoded";
  EXPECT_EQ(lines_with(log, {"OpenEntry entry= ", "0x8004010F"}).size(), 1u)
      << "an empty id goes to MAPI as zero bytes";
  EXPECT_EQ(lines_with(log, {"OpenEntry entry=0011AABB", "type=1"}).size(), 1u);
  EXPECT_TRUE(lines_with(log, {"SetProps"}).empty());
  // Every store that opened is destroyed, also the one whose reference came back as the entry.
  EXPECT_EQ(lines_with(log, {"destroy MAPIStore"}).size(), 4u);
  EXPECT_EQ(lines_with(log, {"summary", "objects=0 references=0"}).size(), 1u);
}

TEST_F(MapiSession, ARefusedSetPropsAnswersFalseAndReleasesFolderThenStore) {
  const auto log = run("RefusedSetPropsAnswersFalse",
                       "fail object=MAPIFolder:Personal/Tasks member=SetProps "
                       "hresult=0x80040102\n");
  EXPECT_EQ(lines_with(log, {"SetProps", "0x80040102"}).size(), 1u);
  EXPECT_LT(position_of(log, "destroy MAPIFolder"), position_of(log, "destroy MAPIStore"));
  EXPECT_EQ(read_lines(profile_path).back().rfind("fail", 0), 0u) << "the form was changed";
}

// SetProps succeeds as a whole and reports the refused property in its problem array, which
// goes back to MAPI.
TEST_F(MapiSession, APropertyRefusedByItselfAnswersFalseAndTheProblemsAreFreed) {
  for (const char* tag : {"0x36E5001E", "0x36E6001E"}) {
    const auto log = run("RefusedSetPropsAnswersFalse",
                         std::string("fail object=MAPIFolder:Personal/Tasks member=SetProps "
                                     "refuse=") +
                             tag + "\n");
    EXPECT_EQ(lines_with(log, {"SetProps", "problems=asked", tag, "-> 0x00000000"}).size(), 1u)
        << tag;
    EXPECT_EQ(lines_with(log, {"MAPIFreeBuffer"}).size(), 1u) << tag;
    EXPECT_EQ(lines_with(log, {"summary", "references=0 buffers=0"}).size(), 1u) << tag;
    testbed::remove_tree(log_path);
  }
}

}  // namespace
