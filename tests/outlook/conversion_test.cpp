// The Outlook step end to end, through the Outlook and MAPI32 stand-ins of the testbed,
// reached the way the program reaches Outlook and MAPI: COM by Outlook's CLSID, MAPI32.DLL by
// name. Runs of the whole step go to a child each, as the MAPI session latches per process.

#include "outlook/conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/unique_any.h"
#include "outlook/members.h"
#include "sequence/log_file.h"
#include "testbed/machine/installation.h"
#include "testbed/outlook/client.h"
#include "testbed/profile/profile.h"
#include "tests/support/child_process.h"
#include "tests/support/log_lines.h"
#include "tests/support/silent_report.h"

namespace {

using test_support::count_with;
using test_support::position_of;
using test_support::read_lines;
using test_support::set_mapix;

const std::string directory = "C:\\merivane-tests\\conversion";
const std::string profile_path = directory + "\\profile.txt";
const std::string log_path = directory + "\\standin.log";
const std::string outcome_path = directory + "\\outcome.txt";
const std::string report_path = directory + "\\report.log";

// Two stores; A/A2 and A/A1/A1b are task folders with the add-in's form.
constexpr char two_stores[] =
    "folder path=A store=AA01 entry=0A type=0\n"
    "folder path=A/A1 entry=A1 type=1 form=IPM.Appointment\n"
    "folder path=A/A1/A1a entry=A1A0 type=0\n"
    "folder path=A/A1/A1b entry=A1B0 type=3 form=IPM.Task.Merivane\n"
    "folder path=A/A2 entry=A2 type=3 form=IPM.Task.Merivane\n"
    "folder path=B store=BB02 entry=0B type=0\n"
    "folder path=B/Tasks entry=B7 type=3 form=IPM.Task\n"
    "item folder=A/A1/A1b class=IPM.Task.Merivane count=2\n"
    "item folder=A/A2 class=IPM.Task.Merivane\n"
    "item folder=A/A2 class=IPM.Task\n"
    "item folder=A/A2 class=IPM.Task.Merivane\n"
    "item folder=B/Tasks class=IPM.Task.Merivane count=3\n";

// Outlook before 2007: no table of a folder's items (each item is asked for its class), no
// default store.
constexpr char old_outlook[] = "absent member=GetTable\nabsent member=DefaultStore\n";

struct Outcome {
  bool result = false;
  bool flag = false;
  std::vector<std::string> report;  // the log's lines, where the child kept one
  std::string said;                 // the outcome's line, with what the step reported
  std::vector<std::string> log;
  std::unique_ptr<testbed::Profile> profile;  // as the run left it

  // The classes of a folder's items, "-" for none.
  std::vector<std::string> classes(const char* folder) const {
    std::vector<std::string> found;
    const auto& record = profile->folders()[profile->find_folder(folder)];
    for (const std::uint32_t text : record.items)
      found.push_back(text == testbed::Profile::no_text ? "-" : profile->text(text));
    return found;
  }
  // The Invokes that Outlook served.
  std::size_t calls() const { return count_with(log, {"outlook call "}); }
  std::string form(const char* folder) const {
    return profile->text(profile->folders()[profile->find_folder(folder)].form);
  }
  // Everything the stand-ins handed out was given back, and MAPI was ended as often as begun.
  void expect_balanced() const {
    EXPECT_EQ(count_with(log, {"outlook summary", "objects=0 references=0"}), 1u);
    const std::size_t initialised = count_with(log, {"MAPIInitialize", "-> 0x00000000"});
    EXPECT_EQ(count_with(log, {"MAPIUninitialize"}), initialised);
    if (initialised != 0) {
      EXPECT_EQ(count_with(log, {"mapi summary", "references=0"}), 1u);
    }
  }
};

class Conversion : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed::remove_tree(directory);
    testbed::make_directories(directory);
    testbed::register_outlook_standin(testbed::outlook_standin_path());
    testbed::place_system_library(testbed::program_directory() + "mapi32.dll", "mapi32.dll");
    set_mapix("1");
  }
  void TearDown() override { testbed::register_outlook_standin(testbed::outlook_standin_path()); }

  Outcome run(const std::string& fixture, const char* child = "Run", const char* answer = "") {
    testbed::write_file(profile_path, fixture);
    testbed::remove_tree(log_path);
    testbed::remove_tree(outcome_path);
    testbed::remove_tree(report_path);
    EXPECT_EQ(test_support::run_child(std::string("ConversionChild.") + child,
                                      {{"MERIVANE_PROFILE", profile_path},
                                       {"MERIVANE_STANDIN_LOG", log_path},
                                       {"MERIVANE_OUTCOME", outcome_path},
                                       {"MERIVANE_ANSWER", answer}}),
              0u);
    Outcome outcome;
    const auto written = read_lines(outcome_path);
    EXPECT_EQ(written.size(), 1u) << "the child wrote no outcome";
    if (!written.empty()) {
      outcome.result = written[0].find("result=1") != std::string::npos;
      outcome.flag = written[0].find("flag=1") != std::string::npos;
      outcome.said = written[0];
    }
    outcome.report = read_lines(report_path);
    outcome.log = read_lines(log_path);
    outcome.profile = testbed::Profile::load(profile_path);
    return outcome;
  }
};

void write_outcome(bool result, bool flag, const std::string& said = "") {
  char path[MAX_PATH];
  GetEnvironmentVariableA("MERIVANE_OUTCOME", path, sizeof path);
  testbed::write_file(path, std::string("result=") + (result ? "1" : "0") +
                                " flag=" + (flag ? "1" : "0") + said + "\n");
}

// The step with the program's log as its report.
void run_reported(bool& flag, bool& result) {
  app::LogFile log;
  ASSERT_TRUE(log.open(report_path.c_str()));
  result = outlook::convert_outlook_tasks(flag, &log);
}

// What the step reports about an Outlook that is busy, stuck or open elsewhere, on one line.
class LineReport final : public test_support::SilentConversionReport<> {
 public:
  std::string said;
  void folder_unverified(const char* folder, long left) override {
    said += " unverified=" + std::string(folder) + ":" + std::to_string(left);
  }
  void outlook_open_elsewhere(bool asked) override {
    said += asked ? " open_elsewhere_asked" : " open_elsewhere";
  }
  void call_unanswered(const char* call, unsigned long) override {
    said += " unanswered=" + std::string(call);
  }
  void outlook_busy(const char* call, unsigned long) override {
    said += " busy=" + std::string(call);
  }
  void walk_stopped(const char* folder, long) override {
    said += " walk_stopped=" + std::string(folder);
  }
  void converted(const outlook::ConversionTally&) override { said += " converted"; }
  void calls_turned_away(long answers, unsigned long) override {
    said += " turned_away=" + std::to_string(answers);
  }
};

// Short limits: a stuck call costs three seconds here, not two minutes.
constexpr outlook::CallLimits short_limits{1500, 3000};
HWND outlook_window = nullptr;
int times_asked = 0;

// ---- children --------------------------------------------------------------------------

TEST(ConversionChild, Run) {
  CHILD_ONLY();
  bool flag = false;
  const bool result = outlook::convert_outlook_tasks(flag);
  write_outcome(result, flag);
}

TEST(ConversionChild, RunReported) {
  CHILD_ONLY();
  bool flag = false, result = false;
  run_reported(flag, result);
  write_outcome(result, flag);
}

// Watched on a thread of its own (with the time it took, and what a thread left behind did in
// the next seconds); or, asked about an Outlook open elsewhere, on this thread, which holds
// Outlook's main window (the stand-in looks for it) so that the question can close it.
TEST(ConversionChild, RunWatched) {
  CHILD_ONLY();
  char answer[16] = {};
  GetEnvironmentVariableA("MERIVANE_ANSWER", answer, sizeof answer);
  LineReport report;
  outlook::StepEnvironment environment;
  environment.limits = short_limits;
  bool flag = false;
  const bool linger = std::strcmp(answer, "linger") == 0;
  if (answer[0] == '\0' || linger || std::strcmp(answer, "unreported") == 0) {
    const DWORD start = GetTickCount();
    const bool result = outlook::convert_outlook_tasks(
        flag, std::strcmp(answer, "unreported") != 0 ? &report : nullptr, environment);
    const DWORD took = GetTickCount() - start;
    // A step given up leaves its thread behind, winding down: a 32-bit process under
    // qemu-i386 that ends beside a running thread may die at its end (seen, exit code 3).
    if (linger || !result) Sleep(linger ? short_limits.unanswered_ms : 1000);
    return write_outcome(result, flag, report.said + " ms=" + std::to_string(took));
  }
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = DefWindowProcA;
  window_class.lpszClassName = "rctrl_renwnd32";
  ASSERT_NE(RegisterClassA(&window_class), 0);
  outlook_window = CreateWindowExA(0, "rctrl_renwnd32", "", 0, 0, 0, 9, 9, 0, 0, 0, 0);
  environment.outlook_window_exists = [] { return FindWindowA("rctrl_renwnd32", 0) != nullptr; };
  if (std::strcmp(answer, "none") != 0) {
    environment.context = answer;
    environment.ask_to_close_outlook = [](const void* context) {
      ++times_asked;
      return std::strcmp(static_cast<const char*>(context), "retry") == 0 &&
             DestroyWindow(outlook_window);
    };
  }
  outlook::CallWatch watch(short_limits);
  const outlook::WatchedCalls watched(watch);
  const bool result = outlook::convert_outlook_tasks_on_this_thread(flag, &report, environment);
  write_outcome(result, flag,
                report.said + " turned_away=" + std::to_string(watch.turned_away()) +
                    " asked=" + std::to_string(times_asked));
}

TEST(ConversionChild, RunWithComAlreadyOpen) {
  CHILD_ONLY();
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  app::LogFile log;
  ASSERT_TRUE(log.open(report_path.c_str()));
  bool flag = false;
  const bool result = outlook::convert_outlook_tasks_on_this_thread(flag, &log, {});
  write_outcome(result, flag);
  // The step gave back its own CoInitialize: one more call closes COM on this thread.
  CoUninitialize();
  EXPECT_EQ(CoInitialize(nullptr), S_OK) << "COM was left open";
  CoUninitialize();
}

// ---- the walk, in this process ------------------------------------------------------------

std::vector<std::string> visited;

bool record_visit(outlook::DispatchPtr folder, bool&) {
  visited.push_back(outlook::folder_entry_id(folder).narrow());
  return true;
}

std::vector<std::string> walk(const std::string& fixture) {
  testbed::write_file(profile_path, fixture);
  SetEnvironmentVariableA("MERIVANE_PROFILE", profile_path.c_str());
  visited.clear();
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  {
    outlook::DispatchPtr application;
    EXPECT_EQ(application.create_instance(outlook::outlook_application_class, nullptr, 7), S_OK);
    const outlook::DispatchPtr name_space =
        outlook::get_namespace(application, outlook::AutomationString("MAPI"));
    bool flag = false;
    EXPECT_FALSE(outlook::walk_folders(outlook::namespace_folders(name_space), record_visit, flag));
  }
  const auto counters = testbed::outlook_standin_counters();
  EXPECT_TRUE(counters.has_value());
  if (counters) {
    EXPECT_EQ(counters->references, 0) << "references left with the stand-in";
  }
  CoUninitialize();
  SetEnvironmentVariableA("MERIVANE_PROFILE", nullptr);
  return visited;
}

TEST_F(Conversion, WalkVisitsEachFolderBeforeItsSubfoldersAndSkipsUnreadableSubtrees) {
  const std::string tree =
      "folder path=A store=AA entry=0A\n"
      "folder path=A/A1 entry=A1\n"
      "folder path=A/A1/A1a entry=A1A0\n"
      "folder path=A/A2 entry=A2\n"
      "folder path=B store=BB entry=0B\n";
  EXPECT_EQ(walk(tree), (std::vector<std::string>{"0A", "A1", "A1A0", "A2", "0B"}));
  EXPECT_EQ(walk(tree + "fail object=Folder:A/A1 member=DefaultItemType hresult=0x80004005\n"),
            (std::vector<std::string>{"0A", "A2", "0B"}));
  EXPECT_EQ(walk(tree + "fail object=Folder:A member=DefaultItemType exception wcode=7\n"),
            (std::vector<std::string>{"0B"}));
}

TEST_F(Conversion, WalkGoesFiveHundredFoldersDeep) {
  std::string chain = "folder path=F store=AB entry=00\n";
  std::string path = "F";
  for (int depth = 1; depth < 500; ++depth) {
    path += "/F";
    chain += "folder path=" + path + " entry=" + std::to_string(depth) + "\n";
  }
  EXPECT_EQ(walk(chain).size(), 500u);
}

// ---- the whole step ----------------------------------------------------------------------

TEST_F(Conversion, ConvertsTheAddinsTasksAndResetsTheirFoldersForms) {
  const Outcome outcome = run(two_stores);
  EXPECT_TRUE(outcome.result);
  EXPECT_FALSE(outcome.flag);
  EXPECT_EQ(outcome.classes("A/A2"),
            (std::vector<std::string>{"IPM.Task", "IPM.Task", "IPM.Task"}));
  EXPECT_EQ(outcome.classes("A/A1/A1b"), (std::vector<std::string>{"IPM.Task", "IPM.Task"}));
  EXPECT_EQ(outcome.classes("B/Tasks"),
            (std::vector<std::string>{"IPM.Task", "IPM.Task", "IPM.Task"}));
  EXPECT_EQ(outcome.form("A/A2"), "IPM.Task");
  EXPECT_EQ(outcome.form("A/A1/A1b"), "IPM.Task");
  EXPECT_EQ(count_with(outcome.log, {"SetProps", "-> 0x00000000"}), 2u)
      << "only the folders with the add-in's form are written";
  EXPECT_EQ(count_with(outcome.log, {"NewItem method args= "}), 3u) << "one probe per task folder";
  EXPECT_EQ(count_with(outcome.log, {"Close method args=I4:1 "}), 3u);
  EXPECT_EQ(count_with(outcome.log, {"MAPILogonEx"}), 1u);
  EXPECT_EQ(count_with(outcome.log, {"FolderPath"}), 0u) << "asked for a report nobody reads";
  // The form is reset before the folder's first item is converted.
  EXPECT_LT(position_of(outcome.log, "MAPIFolder:A/A2 SetProps"),
            position_of(outcome.log, "Item:A/A2#1 MessageClass put"));
  EXPECT_EQ(count_with(read_lines(profile_path), {"created"}), 0u) << "a probe item was stored";
  outcome.expect_balanced();
}

TEST_F(Conversion, OnlyTheExactClassIsConvertedAndEachItemSavedOnce) {
  const Outcome outcome =
      run("folder path=S store=5301 entry=01\n"
          "folder path=S/T entry=02 type=3 form=IPM.Task\n"
          "item folder=S/T class=IPM.Task\n"
          "item folder=S/T class=IPM.Task.Merivane\n"
          "item folder=S/T class=IPM.Task.MerivaneX\n"
          "item folder=S/T class=ipm.task.merivane\n"
          "item folder=S/T\n"
          "item folder=S/T class=IPM.Task.Merivane\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_FALSE(outcome.flag);
  EXPECT_EQ(outcome.classes("S/T"),
            (std::vector<std::string>{"IPM.Task", "IPM.Task", "IPM.Task.MerivaneX",
                                      "ipm.task.merivane", "-", "IPM.Task"}));
  EXPECT_EQ(count_with(outcome.log, {"MessageClass put"}), 2u);
  EXPECT_EQ(count_with(outcome.log, {"Item:S/T#2 Save"}), 1u);
  EXPECT_EQ(count_with(outcome.log, {"Item:S/T#6 Save"}), 1u);
  EXPECT_EQ(count_with(outcome.log, {"Save method"}), 2u);
  EXPECT_EQ(count_with(outcome.log, {"SetProps"}), 0u) << "the standard form was written";
  outcome.expect_balanced();
}

// An item is skipped and the rest converted whatever fails; the step fails where an item of
// the add-in's class keeps it, also where it could not even be read (or fetched by the EntryID
// its table gave). An item that could not be read leaves its folder to be verified by Outlook's
// Restrict: the step fails where items of the add-in's are left there, or where Outlook cannot
// tell. Read through a table, a standard item is never asked for anything.
TEST_F(Conversion, AFailingItemIsSkippedAndTheRestConverted) {
  struct Case {
    std::string rule;
    bool result;
    int restricts;         // of the folder with the failing item; -1: no such item in a table
    int walked_restricts;  // the same where Outlook has no table; -1: no such item without one
    const char* first = "IPM.Task.Merivane";  // A/A2's first item, of the add-in's
    const char* a1b_first = "IPM.Task";       // A/A1/A1b's, of the add-in's
  };
  const std::string unread_standard_item =
      "fail object=Item:A/A2#2 member=MessageClass kind=get exception wcode=3\n";
  const Case cases[] = {
      {"fail object=Item:A/A2#1 member=Save hresult=0x80004005\n", false, 0, 0},
      {"fail object=Item:A/A2#1 member=MessageClass kind=put exception wcode=3\n", false, 0, 0},
      {"fail object=Item:A/A2#1 member=MessageClass kind=get exception wcode=3\n", false, 1, 1},
      {"fail object=Item:A/A2#1 member=QueryInterface hresult=0x80004002\n", false, 1, 1},
      {"fail object=NameSpace member=GetItemFromID times=1 hresult=0x80004005\n", false, 1, -1,
       "IPM.Task", "IPM.Task.Merivane"},
      {"fail object=Items:A/A2 member=Item times=1 hresult=0x80004005\n", false, -1, 1},
      {unread_standard_item, true, 0, 1, "IPM.Task"},
      {unread_standard_item + "fail object=Items:A/A2 member=Restrict hresult=0x80004005\n", false,
       -1, 1, "IPM.Task"},
      {unread_standard_item + "fail object=Restricted:A/A2 member=Count hresult=0x80004005\n",
       false, -1, 1, "IPM.Task"},
  };
  for (const Case& c : cases) {
    for (const bool table : {true, false}) {
      const int restricts = table ? c.restricts : c.walked_restricts;
      if (restricts < 0) continue;
      const std::string rule = (table ? "" : old_outlook) + c.rule;
      SCOPED_TRACE(rule);
      const Outcome outcome = run(two_stores + rule);
      EXPECT_EQ(outcome.result, c.result);
      EXPECT_EQ(count_with(outcome.log, {"Restrict method"}), std::size_t(restricts));
      EXPECT_FALSE(outcome.flag);
      EXPECT_EQ(outcome.classes("A/A2"),
                (std::vector<std::string>{c.first, "IPM.Task", "IPM.Task"}));
      EXPECT_EQ(outcome.classes("A/A1/A1b"), (std::vector<std::string>{c.a1b_first, "IPM.Task"}));
      EXPECT_EQ(outcome.classes("B/Tasks"),
                (std::vector<std::string>{"IPM.Task", "IPM.Task", "IPM.Task"}));
      outcome.expect_balanced();
    }
  }
}

// Where Outlook has a table of a folder's items, only the add-in's are asked for anything: the
// calls do not grow with the folder's other items, nor the objects held at once with its
// add-in's. Every row is read before the first item is changed (the table follows the items,
// and a changed one leaves it). Without a table every item is asked for its class.
TEST_F(Conversion, OnlyTheAddinsTasksAreReadWhereOutlookHasATableOfThem) {
  struct Case {
    const char* outlook;
    long standard;  // more standard tasks in A/A2
    long addin;     // more tasks of the add-in's in A/A2
    std::size_t more_calls;
    std::size_t classes_read;  // items asked for their class
  };
  const Case cases[] = {
      {"", 0, 0, 0, 7},
      {"", 40, 0, 0, 7},
      {"", 0, 40, 7 * 40, 47},
      {old_outlook, 0, 0, 0, 8},
      {old_outlook, 40, 0, 2 * 40, 48},
      {old_outlook, 0, 40, 4 * 40, 48},
  };
  std::size_t base_calls = 0;
  std::string base_most;
  for (const Case& c : cases) {
    const std::string rules =
        std::string(c.outlook) +
        "item folder=A/A2 class=IPM.Task count=" + std::to_string(c.standard) +
        "\nitem folder=A/A2 class=IPM.Task.Merivane count=" + std::to_string(c.addin) + "\n";
    SCOPED_TRACE(rules);
    const Outcome outcome = run(std::string(two_stores) + rules);
    EXPECT_TRUE(outcome.result);
    EXPECT_FALSE(outcome.flag);
    const std::vector<std::string> a2 = outcome.classes("A/A2");
    EXPECT_EQ(std::count(a2.begin(), a2.end(), "IPM.Task"), 3 + c.standard + c.addin);
    EXPECT_EQ(count_with(outcome.log, {"outlook call", " Item:", "MessageClass get"}),
              c.classes_read);
    const std::vector<std::string> summary =
        test_support::lines_with(outcome.log, {"outlook summary"});
    ASSERT_EQ(summary.size(), 1u);
    const std::string most = summary[0].substr(summary[0].find(" most_objects="));
    if (c.standard == 0 && c.addin == 0) {
      base_calls = outcome.calls();
      base_most = most;
      continue;
    }
    EXPECT_EQ(outcome.calls() - base_calls, c.more_calls);
    EXPECT_EQ(most, base_most) << "objects held grew with the folder";
    if (c.outlook[0] == '\0' && c.addin != 0) {
      EXPECT_LT(position_of(outcome.log, "Row:A/A2#" + std::to_string(3 + c.standard + c.addin)),
                position_of(outcome.log, "Item:A/A2#1 MessageClass put"))
          << "an item was changed before every row was read";
    }
  }
}

// A table that Outlook offers but that cannot be read in full leaves that folder, and that
// one only, to be walked: nothing has been changed by then.
TEST_F(Conversion, AFolderWhoseTableCannotBeReadIsWalkedInstead) {
  const std::pair<const char*, bool> rules[] = {
      {"fail object=Folder:A/A2 member=GetTable hresult=0x80004005\n", false},
      {"fail object=Table:A/A2 member=EndOfTable times=1 exception wcode=3\n", false},
      {"fail object=Table:A/A2 member=GetNextRow times=1 hresult=0x80004005\n", false},
      {"fail object=Row:A/A2#3 member=Item hresult=0x80004005\n", false},
      // Without its store's id no item can be fetched, nor the folder's forms library named.
      {"fail object=Folder:A/A2 member=StoreID times=1 hresult=0x80004005\n", true},
  };
  for (const auto& [rule, flag] : rules) {
    const Outcome outcome = run(std::string(two_stores) + rule, "RunReported");
    EXPECT_TRUE(outcome.result) << rule;
    EXPECT_EQ(outcome.flag, flag) << rule;
    EXPECT_EQ(outcome.classes("A/A2"),
              (std::vector<std::string>{"IPM.Task", "IPM.Task", "IPM.Task"}))
        << rule;
    EXPECT_EQ(count_with(outcome.report, {R"(task_folder folder="\\\\A\\A2" read=items)"}), 1u)
        << rule << testing::PrintToString(outcome.report);
    EXPECT_EQ(count_with(outcome.report, {" task_folder ", " read=table"}), 2u) << rule;
    EXPECT_EQ(count_with(outcome.log, {"Items:A/A2 Item method"}), 3u) << rule;
    outcome.expect_balanced();
  }
}

TEST_F(Conversion, AFailingFolderItemAnywhereEndsTheStep) {
  for (const char* where : {"Folders:A/A1", "Folders:", "Folders:A"}) {
    const Outcome outcome = run(std::string(two_stores) + "fail object=" + where +
                                " member=Item hresult=0x80004005 times=1\n");
    EXPECT_FALSE(outcome.result) << where;
    EXPECT_TRUE(outcome.flag) << where;
    outcome.expect_balanced();
    if (std::string(where) == "Folders:A/A1") {
      // A/A1's subfolders come before A/A2 and B: nothing of those was converted.
      EXPECT_EQ(outcome.classes("A/A2").front(), "IPM.Task.Merivane");
      EXPECT_EQ(outcome.classes("B/Tasks").front(), "IPM.Task.Merivane");
    }
  }
  // What was converted before the failure stays converted.
  const Outcome late =
      run(std::string(two_stores) + "fail object=Folders:B member=Item hresult=0x80004005\n");
  EXPECT_FALSE(late.result);
  EXPECT_EQ(late.classes("A/A2"), (std::vector<std::string>{"IPM.Task", "IPM.Task", "IPM.Task"}));
  EXPECT_EQ(late.form("A/A2"), "IPM.Task");
}

TEST_F(Conversion, UnreadableFolderTypeSkipsOnlyThatSubtree) {
  const Outcome outcome =
      run(std::string(two_stores) +
          "fail object=Folder:A/A1 member=DefaultItemType hresult=0x80004005\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_FALSE(outcome.flag);
  EXPECT_EQ(outcome.classes("A/A1/A1b").front(), "IPM.Task.Merivane");
  EXPECT_EQ(outcome.classes("A/A2").front(), "IPM.Task");
}

// Without MAPI the forms are written through Outlook's PropertyAccessor, bound by name once.
TEST_F(Conversion, WithoutMapiTheFormsAreResetThroughOutlook) {
  set_mapix("0");
  const std::string three_forms =
      std::string(two_stores) + "defaultform folder=B/Tasks class=IPM.Task.Merivane\n";
  const Outcome outcome = run(three_forms);
  EXPECT_TRUE(outcome.result);
  EXPECT_FALSE(outcome.flag);
  for (const char* folder : {"A/A2", "A/A1/A1b", "B/Tasks"})
    EXPECT_EQ(outcome.form(folder), "IPM.Task") << folder;
  EXPECT_EQ(outcome.classes("A/A2"),
            (std::vector<std::string>{"IPM.Task", "IPM.Task", "IPM.Task"}));
  EXPECT_EQ(count_with(outcome.log, {"SetProperties method", "-> 0x00000000"}), 3u);
  EXPECT_EQ(count_with(outcome.log, {"outlook names Folder:", " PropertyAccessor -> "}), 1u);
  EXPECT_EQ(count_with(outcome.log, {"outlook names", "SetProperties"}), 1u);
  EXPECT_EQ(count_with(outcome.log, {"mapi load"}), 0u);
  outcome.expect_balanced();
}

// Outlook 2003 has no PropertyAccessor (nor tables): without MAPI the calls are those of a
// program that knows no other way, but for the one look-up of each name.
TEST_F(Conversion, WithoutMapiOrPropertyAccessorNothingIsProbedAndTheManualStepIsAsked) {
  set_mapix("0");
  const Outcome outcome =
      run(std::string(two_stores) + old_outlook + "absent member=PropertyAccessor\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_TRUE(outcome.flag);
  EXPECT_EQ(outcome.form("A/A2"), "IPM.Task.Merivane");
  EXPECT_EQ(outcome.classes("A/A2"),
            (std::vector<std::string>{"IPM.Task", "IPM.Task", "IPM.Task"}));
  EXPECT_EQ(count_with(outcome.log, {"NewItem"}), 0u) << "a probe was made without a way to write";
  EXPECT_EQ(count_with(outcome.log, {"outlook names"}), 3u);
  EXPECT_EQ(count_with(outcome.log, {"mapi load"}), 0u);
  outcome.expect_balanced();
}

// Each folder's form goes through MAPI where it can, else through Outlook; only a folder that
// neither way resets asks for the manual step.
TEST_F(Conversion, AFolderMapiCannotWriteIsResetThroughOutlook) {
  struct Case {
    const char* mapix;
    std::string rules;
    bool flag;
    const char* a2_form;
    std::size_t mapi_writes;  // of the other folder, A/A1/A1b
  };
  const Case cases[] = {
      {"1", "fail object=MAPIFolder:A/A2 member=SetProps hresult=0x80040102\n", false, "IPM.Task",
       1},
      {"1", "fail object=MAPIFolder:A/A2 member=SetProps refuse=0x36E6001E\n", false, "IPM.Task",
       1},
      // Its forms library cannot be named: the add-in's form may be left there.
      {"1", "fail object=Folder:A/A2 member=EntryID hresult=0x80004005\n", true, "IPM.Task", 1},
      {"1", "fail object=NewItem:A/A2#1 member=Close hresult=0x80004005\n", true,
       "IPM.Task.Merivane", 1},
      {"0", "fail object=PropertyAccessor:A/A2 member=SetProperties hresult=0x80004005\n", true,
       "IPM.Task.Merivane", 0},
      {"0", "fail object=Folder:A/A2 member=PropertyAccessor hresult=0x80004005\n", true,
       "IPM.Task.Merivane", 0},
      {"1",
       "fail object=MAPIFolder:A/A2 member=SetProps hresult=0x80040102\n"
       "fail object=PropertyAccessor:A/A2 member=SetProperties refuse=0x36E5001F\n",
       true, "IPM.Task.Merivane", 1},
  };
  for (const Case& c : cases) {
    set_mapix(c.mapix);
    const Outcome outcome = run(std::string(two_stores) + c.rules);
    EXPECT_TRUE(outcome.result) << c.rules;
    EXPECT_EQ(outcome.flag, c.flag) << c.rules;
    EXPECT_EQ(outcome.form("A/A2"), c.a2_form) << c.rules;
    EXPECT_EQ(outcome.form("A/A1/A1b"), "IPM.Task") << c.rules;
    EXPECT_EQ(count_with(outcome.log, {"MAPIFolder:A/A1/A1b SetProps", "-> 0x00000000"}),
              c.mapi_writes)
        << c.rules;
    EXPECT_EQ(outcome.classes("A/A2"),
              (std::vector<std::string>{"IPM.Task", "IPM.Task", "IPM.Task"}))
        << c.rules;
    outcome.expect_balanced();
  }
}

TEST_F(Conversion, AProbeWhoseFormCannotBeReadIsStillDiscarded) {
  const Outcome outcome =
      run(std::string(two_stores) +
          "fail object=NewItem:A/A2#1 member=FormDescription hresult=0x80004005\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_TRUE(outcome.flag) << "a form that could not be told was taken as the standard one";
  EXPECT_EQ(outcome.form("A/A2"), "IPM.Task.Merivane");
  EXPECT_EQ(count_with(outcome.log, {"NewItem:A/A2#1 Close method args=I4:1 "}), 1u);
  outcome.expect_balanced();
}

TEST_F(Conversion, EmptyNamespaceVisitsNothingAndMakesNoSession) {
  const Outcome outcome = run("# no stores\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_FALSE(outcome.flag) << "no folder has a form to reset";
  EXPECT_EQ(count_with(outcome.log, {"mapi load"}), 0u);
  outcome.expect_balanced();
}

TEST_F(Conversion, ComAlreadyOpenOnTheThreadEndsTheStepBeforeOutlook) {
  const Outcome outcome = run(two_stores, "RunWithComAlreadyOpen");
  EXPECT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.flag);
  EXPECT_EQ(count_with(outcome.log, {"outlook"}), 0u) << "Outlook was reached";
  EXPECT_EQ(count_with(outcome.report, {" outlook_failed stage=com code=0x00000001"}), 1u);
}

// What stopped the step, or kept a folder's form from being reset, stands in the log with its code.
TEST_F(Conversion, TheLogSaysWhyTheStepOrAFormsResetFailed) {
  struct Case {
    const char* mapix;
    std::string rules;
    const char* told;
    void (*setup)() = nullptr;
  };
  const Case cases[] = {
      {"1", "", "outlook_failed stage=application code=0x80040154 reason=not_registered",
       testbed::unregister_outlook_standin},
      {"1", "fail object=Application member=GetNamespace hresult=0x80004005\n",
       "outlook_failed stage=namespace code=0x80004005"},
      {"1", "fail object=Folders: member=Item hresult=0x80070057\n",
       "walk_stopped folder=\"\" code=0x80070057"},
      {"1", "fail object=Folders:A/A1 member=Item hresult=0x80004005 times=1\n",
       R"(walk_stopped folder="\\\\A\\A1" code=0x80004005)"},
      {"1", "fail object=Folder:A/A2 member=Items hresult=0x80070005\n",
       R"(walk_stopped folder="\\\\A\\A2" code=0x80070005)"},
      {"0", "", "mapi_unavailable stage=detection code=0x00000000"},
      {"1", "", "mapi_unavailable stage=load code=0x8007007E",
       [] { testbed::remove_system_library("mapi32.dll"); }},
      {"1", "fail object=MAPI member=MAPIInitialize hresult=0x80040111\n",
       "mapi_unavailable stage=initialise code=0x80040111"},
      {"1", "fail object=MAPI member=MAPILogonEx hresult=0x80040111\n",
       "mapi_unavailable stage=logon code=0x80040111"},
      {"0", "absent member=PropertyAccessor\n",
       R"(form_left folder="\\\\B\\Tasks" reason=no_way_to_write)"},
      {"0", "absent member=PropertyAccessor\n", " forms_reset=0 forms_left=3"},
      {"1", "", R"(task_folder folder="\\\\A\\A2" read=table)"},
      {"1", old_outlook, R"(task_folder folder="\\\\B\\Tasks" read=items)"},
  };
  for (const Case& c : cases) {
    set_mapix(c.mapix);
    if (c.setup != nullptr) c.setup();
    const Outcome outcome = run(std::string(two_stores) + c.rules, "RunReported");
    EXPECT_EQ(count_with(outcome.report, {c.told}), 1u)
        << c.rules << testing::PrintToString(outcome.report);
    testbed::register_outlook_standin(testbed::outlook_standin_path());
    testbed::place_system_library(testbed::program_directory() + "mapi32.dll", "mapi32.dll");
  }
}

TEST_F(Conversion, OutlookNotRegisteredEndsTheStep) {
  testbed::unregister_outlook_standin();
  const Outcome outcome = run(two_stores);
  EXPECT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.flag);
  EXPECT_EQ(count_with(outcome.log, {"outlook"}), 0u);
}

TEST_F(Conversion, ANamespaceThatCannotBeHadEndsTheStep) {
  const Outcome outcome = run(std::string(two_stores) +
                              "fail object=Application member=GetNamespace hresult=0x80004005\n");
  EXPECT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.flag);
  outcome.expect_balanced();
}

// ---- an Outlook that is busy, stuck, or open elsewhere -----------------------------------

// Calls turned away are asked again until taken or the (here short) limit has passed; a call
// that never comes back gives the step up after the other limit, and the step says which.
// Outlook open where COM cannot bind to it is not asked again: a person is asked to close it
// and Retry makes the object again; Cancel, or nobody to ask, fails the step at once.
// A call still turned away when its limit has passed gives the step up too, within about that
// limit however many items or folders are left, and never passes for a failure of one item or
// folder. A step given up is silent: a call that comes back late leads to no further call into
// Outlook or MAPI and to no report.
TEST_F(Conversion, ABusyStuckOrUnreachableOutlookIsWaitedForWithinTheLimits) {
  const char* const open_elsewhere = "other_level window=rctrl_renwnd32\n";
  const std::string twenty_items_turned_away =
      "item folder=B/Tasks class=IPM.Task.Merivane count=20\n"
      "fail object=NameSpace member=GetItemFromID hresult=0x80010001\n";
  const std::string twenty_walked_items_turned_away =
      std::string(old_outlook) + "item folder=B/Tasks class=IPM.Task.Merivane count=20\n" +
      "fail object=Items:B/Tasks member=Item hresult=0x80010001\n";
  const std::string type_turned_away =
      "fail object=Folder:A/A1 member=DefaultItemType kind=get hresult=0x8001010A\n";
  // Each call comes back at once, yet the step takes longer than the unanswered limit in all.
  const std::string long_but_answered = "item folder=A/A1/A1a class=IPM.Note count=90\n"
                                        "busy every=2\n";
  struct Case {
    std::string rules;
    const char* answer;  // to the question to close Outlook; none: the step on its thread
    bool result;
    bool flag;
    const char* said;
    bool turned_away;
    DWORD most_ms = 0;  // the step's own time at the most
  };
  const DWORD about_one_limit = short_limits.retry_ms * 2 + 1000;
  const Case cases[] = {
      {"busy for_ms=400\n", "", true, false, "", true},
      {long_but_answered, "", true, false, " converted turned_away=", true},
      {"busy for_ms=100000\n", "", false, true, " busy=OleRun turned_away=", true, about_one_limit},
      {twenty_items_turned_away, "", false, true, " busy=GetItemFromID method turned_away=", true,
       about_one_limit},
      {twenty_walked_items_turned_away, "", false, true, " busy=Item method turned_away=", true,
       about_one_limit},
      {twenty_items_turned_away, "unreported", false, true, "", false, about_one_limit},
      {type_turned_away, "", false, true, " busy=DefaultItemType get turned_away=", true,
       about_one_limit},
      {type_turned_away, "unreported", false, true, "", false, about_one_limit},
      {"hang object=Table:A/A2 member=GetNextRow\n", "", false, true,
       " unanswered=GetNextRow method", false},
      {std::string(old_outlook) + "hang object=Items:A/A2 member=Count\n", "", false, true,
       " unanswered=Count get", false},
      {"hang object=Table:A/A2 member=GetNextRow for_ms=4500\n", "linger", false, true,
       " unanswered=GetNextRow method turned_away=0 ms=", false},
      {"fail object=Item:A/A2#1 member=MessageClass kind=get hresult=0x80004005\n", "", false,
       false, " unverified=\\\\A\\A2:1", false},
      {open_elsewhere, "retry", true, false, " asked=1", false},
      {open_elsewhere, "cancel", false, true, " open_elsewhere_asked turned_away=0 asked=1", false},
      {open_elsewhere, "none", false, true, " open_elsewhere turned_away=0 asked=0", false},
  };
  for (const Case& c : cases) {
    const Outcome outcome = run(std::string(two_stores) + c.rules, "RunWatched", c.answer);
    EXPECT_EQ(outcome.result, c.result) << c.rules << c.answer;
    EXPECT_EQ(outcome.flag, c.flag) << c.rules << c.answer;
    EXPECT_NE(outcome.said.find(c.said), std::string::npos) << outcome.said;
    if (std::strcmp(c.answer, "unreported") != 0) {
      EXPECT_EQ(outcome.said.find("turned_away=0") == std::string::npos, c.turned_away)
          << outcome.said;
    }
    if (c.most_ms != 0) {
      const std::size_t at = outcome.said.find(" ms=");
      ASSERT_NE(at, std::string::npos) << outcome.said;
      EXPECT_LT(std::stoul(outcome.said.substr(at + 4)), c.most_ms) << c.rules << c.answer;
    }
    if (std::strcmp(c.answer, "linger") == 0) {
      // The call came back after the step was given up, and the thread then ended.
      const std::size_t over = position_of(outcome.log, "hang over");
      ASSERT_LT(over, outcome.log.size());
      EXPECT_EQ(count_with(outcome.log, {"MAPIInitialize", "-> 0x00000000"}), 1u);
      for (std::size_t line = over + 1; line < outcome.log.size(); ++line) {
        const std::string& text = outcome.log[line];
        // The stand-ins' own lines at the process's end.
        if (text.find(" summary ") != std::string::npos || text.ends_with(" unload")) continue;
        EXPECT_TRUE(text.find("mapi") == std::string::npos &&
                    (text.find(" call ") == std::string::npos || line == over + 1))
            << "after the step was given up: " << text;
      }
    }
    if (c.result) {
      EXPECT_EQ(outcome.classes("A/A2"),
                (std::vector<std::string>{"IPM.Task", "IPM.Task", "IPM.Task"}))
          << c.rules;
      outcome.expect_balanced();
    }
  }
}

// The add-in's own published form leaves with it, once its tasks are converted: from the
// personal library, each visited task folder's and the local cache, each removal verified by
// asking again; never from the organization's library (told where the form is there alone),
// never through the default registry, never another class's form. A removal refused, or a
// success that leaves the form, asks for the manual step; with none published nothing changes.
TEST_F(Conversion, TheAddinsPublishedFormLeavesWithIt) {
  const std::string published =
      "form library=personal class=IPM.Task.Merivane\n"
      "form library=personal class=IPM.Task.MerivaneX\n"
      "form library=folder folder=A/A2 class=IPM.Task.Merivane\n"
      "form library=local class=IPM.Task.Merivane\n"
      "form library=organization class=IPM.Task.Merivane\n";
  struct Row {
    const char* what;
    std::string fixture;  // beside two_stores
    bool flag;
    std::vector<bool> kept;  // each form of the fixture's, in order
    std::vector<const char*> told;
    const char* mapi = "mapi32.dll";  // the MAPI32 stand-in's build; none: MAPI not installed
  };
  const char* const no_form_manager = "no-form-mgr\\mapi32.dll";
  const Row rows[] = {
      {"published", published, false, {false, true, false, false, true},
       {"form library=personal class=\"IPM.Task.Merivane\" way=mapi result=removed",
        "form library=folder folder=\"\\\\\\\\A\\\\A2\" class=\"IPM.Task.Merivane\" way=mapi "
        "result=removed",
        "form library=local class=\"IPM.Task.Merivane\" way=mapi result=removed",
        "forms_removed=3 published_forms_left=0"}},
      {"none published", "", false, {},
       {"form library=personal class=\"IPM.Task.Merivane\" way=mapi result=absent hr=0x8004010F",
        "forms_removed=0 published_forms_left=0"}},
      {"the organization's alone", "form library=organization class=IPM.Task.Merivane\n", false,
       {true}, {"form_left library=organization", "forms_removed=0"}},
      {"refused", published + "fail object=MAPIFormContainer:personal member=RemoveForm "
                              "hresult=0x80070005\n",
       true, {true, true, false, false, true},
       {"library=personal class=\"IPM.Task.Merivane\" way=mapi result=left hr=0x80070005",
        "forms_removed=2 published_forms_left=1"}},
      {"a success that leaves it", published + "fail object=MAPIFormContainer:folder:A/A2 "
                                               "member=RemoveForm hresult=0x00040680\n",
       true, {false, true, true, false, true}, {"result=left hr=0x00040680"}},
      {"no library opens", published + "fail object=MAPIFormMgr member=OpenFormContainer "
                                       "hresult=0x80004005 times=1\n",
       true, {true, true, false, false, true}, {"library=personal", "result=failed hr=0x80004005"}},
      // Outlook's own way: each library's hidden item by its entry id; no local cache.
      {"through Outlook", published, false, {false, true, false, true, true},
       {"form library=personal class=\"IPM.Task.Merivane\" way=outlook result=removed",
        "form library=folder folder=\"\\\\\\\\A\\\\A2\" class=\"IPM.Task.Merivane\" way=outlook "
        "result=removed",
        "forms_removed=2 published_forms_left=0"},
       nullptr},
      {"through Outlook beside MAPI without a form manager", published, false,
       {false, true, false, true, true},
       {"library=personal class=\"IPM.Task.Merivane\" way=outlook result=removed",
        "forms_removed=2"},
       no_form_manager},
      {"Outlook refuses the storage", published + "fail object=CommonViews:A member=GetStorage "
                                                  "hresult=0x80040102\n",
       true, {true, true, false, true, true},
       {"library=personal class=\"IPM.Task.Merivane\" way=outlook result=left hr=0x80040102"},
       nullptr},
      {"an Outlook before 2007", published + old_outlook, true, {true, true, true, true, true},
       {"forms_removed=0 published_forms_left=0"}, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    set_mapix(row.mapi != nullptr ? "1" : "0");
    testbed::place_system_library(
        testbed::program_directory() + (row.mapi != nullptr ? row.mapi : "mapi32.dll"), "mapi32.dll");
    const Outcome outcome = run(std::string(two_stores) + row.fixture, "RunReported");
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.flag, row.flag);
    std::vector<bool> kept;
    for (const auto& form : outcome.profile->forms()) kept.push_back(!form.removed);
    EXPECT_EQ(kept, row.kept);
    for (const char* told : row.told)
      EXPECT_EQ(count_with(outcome.report, {told}), 1u) << told << testing::PrintToString(outcome.report);
    EXPECT_EQ(count_with(outcome.log, {"library=default"}), 0u);
    EXPECT_EQ(count_with(outcome.log, {"MAPIFormContainer:organization RemoveForm"}), 0u);
    EXPECT_EQ(count_with(outcome.log, {"ResolveMessageClass", "flags=0x00000000"}), 0u)
        << "resolved without MAPIFORM_EXACTMATCH";
    EXPECT_EQ(count_with(outcome.log, {"GetStorage method", ",I4:2"}), 0u)
        << "a storage asked for by its class, which makes one where none is";
    outcome.expect_balanced();
  }
}

}  // namespace
