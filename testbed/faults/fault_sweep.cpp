// The fault sweep: the whole program on a small simulated machine, once as it is and then
// once for every call it makes into the Outlook and MAPI32 stand-ins with that call failing
// (Outlook's calls a second time as a server exception, and a third time turned away once, as
// a busy Outlook turns calls away, which the program asks again). After each run it checks
// what a user and the machine are left with against what the failing call's place in the
// program should give. The machine is swept twice: with Extended MAPI, and without it, where
// the folders' forms go through Outlook's PropertyAccessor; the calls that verify a folder
// whose items could not all be read (Restrict and its Count) once more, on a machine with an
// unreadable standard task; and the calls of a walk over every item, on an Outlook before 2007,
// which has no table of a folder's items.
//
// fault_sweep [--slice N] [--part I/N]
//   --slice N   only N runs, spread evenly over all of them
//   --part I/N  only every N-th run, starting with the I-th (for running in parallel)
// Prints one line per run that did not survive and, last, "K runs, N survived".

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "testbed/machine/installation.h"
#include "testbed/machine/simulated_machine.h"
#include "testbed/machine/uninstaller_run.h"
#include "testbed/profile/profile.h"
#include "testbed/uidriver/driver.h"
#include "testbed/machine/text_lines.h"

namespace {

using testbed::read_lines;

constexpr char sweep_profile[] =
    "folder path=P store=5001 entry=01 type=0\n"
    "folder path=P/Inbox entry=02 type=0 form=IPM.Note\n"
    "folder path=P/Tasks entry=03 type=3 form=IPM.Task.Merivane\n"
    "folder path=P/Tasks/Sub entry=04 type=3 form=IPM.Task.Merivane\n"
    "folder path=Q store=5002 entry=01 type=0\n"
    "folder path=Q/Tasks entry=05 type=3 form=IPM.Task.Merivane\n"
    "item folder=P/Inbox class=IPM.Note\n"
    "item folder=P/Tasks class=IPM.Task.Merivane count=2\n"
    "item folder=P/Tasks class=IPM.Task\n"
    "item folder=P/Tasks/Sub class=IPM.Task.Merivane\n"
    "item folder=Q/Tasks class=IPM.Task.Merivane\n"
    "item folder=Q/Tasks class=IPM.Task\n";

constexpr char addin_class[] = "IPM.Task.Merivane";

// One call the program made, as the stand-in logged it.
struct Call {
  bool outlook;
  long number;
  std::string object;
  std::string member;
  std::string kind;       // Outlook's get|put|method
  std::string arguments;  // Outlook's args= text
  int occurrence;         // how many calls of this object and member came before, from 1
};

// What a failure of one call must leave behind.
enum class Effect {
  fatal,         // the Outlook step ends: result false, manual step
  skip_subtree,  // the folder and its subfolders are not visited
  flag_only,     // the folder's form is not reset: manual step
  item_skipped,  // the one item stays as it is, unknown: its folder is counted (Restrict), and
                 // the step fails when the item is the add-in's
  item_left,     // the one item of the add-in's keeps its class: the Outlook step fails
  unverified,    // the folder's count of the add-in's items cannot be had: the step fails
  none,          // nothing the user sees
};

struct Expectation {
  Expectation(Effect what, std::string where = {}, int which = 0)
      : effect(what), folder(std::move(where)), item(which) {}
  Effect effect;
  std::string folder;  // the folder it concerns
  int item;            // the item it concerns, from 1
};

std::string after(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : std::string();
}

std::vector<Call> calls_of(const std::vector<std::string>& log) {
  std::vector<Call> calls;
  std::map<std::string, int> seen;
  for (const std::string& line : log) {
    Call call{};
    std::string rest;
    if (!(rest = after(line, "outlook call ")).empty()) {
      call.outlook = true;
    } else if (!(rest = after(line, "mapi call ")).empty()) {
      call.outlook = false;
    } else {
      continue;
    }
    char* end = nullptr;
    call.number = std::strtol(rest.c_str(), &end, 10);
    rest = end + 1;
    const std::size_t first = rest.find(' ');
    call.object = rest.substr(0, first);
    const std::size_t second = rest.find(' ', first + 1);
    call.member = rest.substr(first + 1, second - first - 1);
    if (call.outlook) {
      const std::size_t third = rest.find(' ', second + 1);
      call.kind = rest.substr(second + 1, third - second - 1);
      call.arguments = rest.substr(third + 1, rest.find(" -> ") - third - 1);
    }
    // MAPI's opens are counted over all stores: the n-th open serves the n-th reset.
    call.occurrence =
        ++seen[call.outlook ? "o " + call.object + " " + call.member : "m " + call.member];
    calls.push_back(call);
  }
  return calls;
}

// The task folders of the sweep's profile whose default form is the add-in's: MAPI opens their
// stores and entries first for the forms' resets, then for the folders' forms libraries.
constexpr int resets = 3;
constexpr int task_folders = 3;

// A MAPI call's failure: where MAPI cannot write a folder's form, Outlook writes it, and no
// failure shows; a forms library that cannot be asked may keep the add-in's form, which asks
// for the manual step, but for the local cache's, which is no step of the user's.
Expectation expect_mapi(const Call& call) {
  const std::string& member = call.member;
  if (member == "OpenMsgStore" || member == "OpenEntry")
    return {call.occurrence > resets ? Effect::flag_only : Effect::none};
  const bool local_library = call.object == "MAPIFormContainer:local" ||
                             ((member == "MAPIOpenFormMgr" || member == "OpenFormContainer") &&
                              call.occurrence == task_folders + 2);
  if (member == "MAPIOpenFormMgr" || call.object == "MAPIFormMgr" ||
      call.object.rfind("MAPIFormContainer:", 0) == 0)
    return {local_library ? Effect::none : Effect::flag_only};
  return {Effect::none};
}

// The texts of a call's string arguments, in order.
std::vector<std::string> text_arguments(const std::string& arguments) {
  std::vector<std::string> texts;
  for (std::size_t at = arguments.find("BSTR:\""); at != std::string::npos;
       at = arguments.find("BSTR:\"", at)) {
    at += 6;
    const std::size_t end = arguments.find('"', at);
    texts.push_back(arguments.substr(at, end - at));
    at = end;
  }
  return texts;
}

// A call of Outlook's own way to the forms libraries (without MAPI): any failure leaves that
// library's form where it may be, which asks for the manual step.
bool forms_library_call(const Call& call) {
  for (const char* prefix : {"Store:", "StoreAccessor:", "CommonViews:", "StorageItem:",
                             "Table:CommonViews:", "Row:CommonViews:", "Columns:CommonViews:",
                             "Table:hidden:", "Row:hidden:", "Columns:hidden:"})
    if (call.object.rfind(prefix, 0) == 0) return true;
  if (call.object == "NameSpace")
    return call.member == "DefaultStore" || call.member == "GetFolderFromID";
  // A task folder's second table is of its hidden items.
  return call.object.rfind("Folder:", 0) == 0 &&
         ((call.member == "GetTable" && call.occurrence == 2) || call.member == "GetStorage");
}

// Derived from where the call stands in the program, not from what a run answered.
Expectation expect(const Call& call, const testbed::Profile& profile) {
  const std::string& member = call.member;
  if (!call.outlook) return expect_mapi(call);
  if (const std::string folder = after(call.object, "PropertyAccessor:"); !folder.empty())
    return {Effect::flag_only, folder};
  const std::string folder_of_item = call.object.substr(call.object.find(':') + 1);
  if (forms_library_call(call)) return {Effect::flag_only};
  if (const std::string folder = after(call.object, "Folder:"); !folder.empty()) {
    if (member == "DefaultItemType")
      return {call.occurrence == 1 ? Effect::skip_subtree : Effect::fatal, folder};
    // The second read of Items is the probe's: the folder's form cannot be told.
    if (member == "Items")
      return {call.occurrence == 1 ? Effect::fatal : Effect::flag_only, folder};
    // Without its identifiers MAPI cannot name the folder (Outlook resets its form), nor can
    // its forms library be named: the add-in's form may be left there; its items are walked.
    if (member == "EntryID" || member == "StoreID") return {Effect::flag_only};
    // A table that cannot be read in full leaves its folder to be walked.
    if (member == "GetTable") return {Effect::none};
    if (member == "PropertyAccessor") return {Effect::flag_only, folder};
    return {Effect::fatal};  // Folders
  }
  if (call.object.rfind("Table:", 0) == 0 || call.object.rfind("Row:", 0) == 0)
    return {Effect::none};
  if (call.object == "NameSpace" && member == "GetItemFromID") {
    const std::vector<std::string> ids = text_arguments(call.arguments);
    const auto item = ids.size() == 2 ? profile.find_item(ids[1], ids[0]) : std::nullopt;
    if (!item) return {Effect::fatal};
    return {Effect::item_skipped, profile.folders()[item->folder].path, int(item->number)};
  }
  if (const std::string folder = after(call.object, "Restricted:"); !folder.empty())
    return {Effect::unverified, folder};
  if (const std::string folder = after(call.object, "Items:"); !folder.empty()) {
    if (member == "NewItem") return {Effect::flag_only, folder};
    if (member == "Restrict") return {Effect::unverified, folder};
    if (member == "Item")
      return {Effect::item_skipped, folder, std::atoi(call.arguments.c_str() + 8)};
    return {Effect::fatal};  // Count
  }
  // Whatever fails on the probe's item, the folder's form is not reset.
  if (const std::string item = after(call.object, "NewItem:"); !item.empty())
    return {Effect::flag_only, item.substr(0, item.find('#'))};
  if (const std::string item = after(call.object, "FormDescription:NewItem:"); !item.empty())
    return {Effect::flag_only, item.substr(0, item.find('#'))};
  if (const std::string item = after(call.object, "Item:"); !item.empty()) {
    // The class is written and saved only on the add-in's items: these keep it.
    const bool written = member == "Save" || call.kind == "put";
    return {written ? Effect::item_left : Effect::item_skipped, item.substr(0, item.find('#')),
            std::atoi(item.c_str() + item.find('#') + 1)};
  }
  return {Effect::fatal};  // Application, NameSpace, Folders
}

bool within(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

struct Run {
  std::string rule;
  testbed::UninstallerRun ended;
};

Run run_program(const testbed::SimulatedMachine& machine, const std::string& rule) {
  machine.lay(testbed::program_directory(), std::string(sweep_profile) + rule);
  testbed::write_file(machine.profile() + ".original", std::string(sweep_profile) + rule);
  testbed::DriverOptions options;
  options.timeout_ms = 30000;
  return {rule, testbed::run_uninstaller(
                    machine, "\"" + machine.uninstaller() + "\" %" + machine.install_dir, options)};
}

// Everything that must hold after any run, and what this failure must have left.
std::vector<std::string> check(const testbed::SimulatedMachine& machine, const Run& run,
                               const Expectation& expectation) {
  std::vector<std::string> problems;
  const auto problem = [&](const std::string& text) { problems.push_back(text); };
  const testbed::Report& report = run.ended.report;
  if (run.ended.exit_code != 0) problem("exit code " + std::to_string(run.ended.exit_code));
  if (report.timed_out) problem("did not end by itself");
  if (!report.final_box.seen) problem("no final message");

  const auto original = testbed::Profile::load(machine.profile() + ".original");
  // An item that could not be read is counted through Restrict: one of the add-in's fails the
  // step.
  bool unread_addin_item = false;
  if (expectation.effect == Effect::item_skipped) {
    const auto& folder = original->folders()[original->find_folder(expectation.folder)];
    const std::uint32_t text = folder.items[std::size_t(expectation.item - 1)];
    unread_addin_item = text != testbed::Profile::no_text && original->text(text) == addin_class;
  }
  const bool result_false = expectation.effect == Effect::fatal;
  const bool step_failed = result_false || expectation.effect == Effect::item_left ||
                           expectation.effect == Effect::unverified || unread_addin_item;
  const bool manual = result_false || expectation.effect == Effect::flag_only;
  // Strings 3 and 5, which the manual step's messages begin with.
  const std::string expected_start =
      step_failed ? "Not all of Merivane's components were successfully removed. This could be "
                    "because you do not have sufficient rights to remove files, or because some "
                    "of Merivane's components were moved after installation."
                  : "Merivane has been successfully uninstalled.";
  const std::string& text = report.final_box.text;
  if (manual ? text.rfind(expected_start + "\n\n", 0) != 0 : text != expected_start)
    problem("final message \"" + text.substr(0, 50) + "...\"");
  if (!report.samples.empty()) {
    const testbed::DialogSample& last = report.samples.back();
    if (last.labels[4].text != (step_failed ? "Failed" : "Done"))
      problem("label 1004 reads " + last.labels[4].text);
    for (int label = 5; label < 8; ++label)
      if (last.labels[label].text != "Done" || !last.labels[label].visible)
        problem("step " + std::to_string(label - 3) + " did not end in Done");
  }
  for (const std::string& line : testbed::describe_installation(machine.install_dir))
    if (line.rfind("present", 0) == 0) problem("left behind: " + line.substr(9));

  const std::vector<std::string> profile_lines = read_lines(machine.profile());
  std::set<std::string> saved;
  for (const std::string& line : profile_lines) {
    if (line.rfind("created", 0) == 0) problem("a probe item was stored");
    if (const std::string item = after(line, "saved item="); !item.empty()) {
      const std::string name = item.substr(0, item.find(' '));
      if (!saved.insert(name).second) problem(name + " saved twice");
    }
  }
  const auto now = testbed::Profile::load(machine.profile());
  for (std::uint32_t folder = 0; folder < now->folders().size(); ++folder) {
    const auto& before = original->folders()[folder];
    const auto& after_run = now->folders()[folder];
    const std::string& path = after_run.path;
    const bool task_folder = before.item_type == 3;
    const bool skipped =
        expectation.effect == Effect::skip_subtree && within(path, expectation.folder);
    for (std::size_t item = 0; item < after_run.items.size(); ++item) {
      const std::string was = original->text(before.items[item]);
      const std::string is = now->text(after_run.items[item]);
      const bool addin = was == addin_class;
      if (!addin && is != was)
        problem(path + "#" + std::to_string(item + 1) + " of class " + was + " was touched");
      if (!addin || !task_folder || result_false) continue;
      const bool one_item =
          expectation.effect == Effect::item_skipped || expectation.effect == Effect::item_left;
      const bool kept = skipped || (one_item && path == expectation.folder &&
                                    static_cast<int>(item) + 1 == expectation.item);
      if ((is == addin_class) != kept)
        problem(path + "#" + std::to_string(item + 1) +
                (kept ? " was converted" : " was not converted"));
    }
    if (!task_folder || result_false || before.form == testbed::Profile::no_text ||
        original->text(before.form) != addin_class)
      continue;
    const bool reset_expected =
        !skipped && !(expectation.effect == Effect::flag_only && path == expectation.folder);
    const bool reset = now->text(after_run.form) != addin_class;
    if (reset != reset_expected)
      problem(path + (reset ? " form was reset" : " form was not reset"));
  }

  const std::vector<std::string> log = read_lines(machine.standin_log());
  if (testbed::count_with(log, {"outlook summary", "objects=0 references=0"}) != 1)
    problem("Outlook references not all given back");
  const std::size_t initialised = testbed::count_with(log, {"MAPIInitialize", "-> 0x00000000"});
  if (testbed::count_with(log, {"MAPIUninitialize"}) != initialised)
    problem("MAPIInitialize not balanced");
  if (initialised != 0 && testbed::count_with(log, {"mapi summary", "references=0 buffers=0"}) != 1)
    problem("MAPI references or buffers not all given back");
  return problems;
}

// How the swept call fails.
enum class Fault { code, exception, turned_away };

std::string rule_for(const Call& call, Fault fault) {
  std::string rule = "fail call=" + std::to_string(call.number) +
                     " object=" + testbed::fixture_value(call.object) + " member=" + call.member;
  if (call.outlook) rule += " kind=" + call.kind;
  switch (fault) {
    case Fault::code:
      rule += " hresult=0x80004005";
      break;
    case Fault::exception:
      rule += " exception scode=0x80004005 source=Sweep description=\"injected\"";
      break;
    case Fault::turned_away:
      // Both of a busy Outlook's answers, taken in turn.
      rule += call.number % 2 == 0 ? " hresult=0x80010001 times=1" : " hresult=0x8001010A times=1";
      break;
  }
  return rule + "\n";
}

// A folder's verification is asked for only where an item could not be read.
bool verifies(const Call& call) {
  return call.outlook && (call.member == "Restrict" || call.object.rfind("Restricted:", 0) == 0);
}

// What only a walk over every item asks: the items' count, each item, and each one's class.
bool walks(const Call& call) {
  return call.outlook && ((call.object.rfind("Items:", 0) == 0 &&
                           (call.member == "Count" || call.member == "Item")) ||
                          (call.object.rfind("Item:", 0) == 0 && call.member == "MessageClass" &&
                           call.kind == "get"));
}

}  // namespace

int main(int argc, char** argv) {
  long slice = 0, part = 0, parts = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--slice") slice = std::atol(argv[i + 1]);
    if (option == "--part") std::sscanf(argv[i + 1], "%ld/%ld", &part, &parts);
  }
  testbed::SimulatedMachine machine;
  machine.data_dir = "C:\\merivane-sweep\\";

  // The runs as they are, with MAPI and without, with an unreadable standard task, and on an
  // Outlook without tables: which calls the program makes in each. The last two sweep only the
  // verification's calls and the walk's; the others are the first one's.
  constexpr char old_outlook[] = "absent member=GetTable\n";
  struct Baseline {
    bool mapi;
    const char* name;
    std::string rules;
    Expectation outcome;  // of the run as it is
    bool (*swept)(const Call&);  // none: every call
    std::vector<Call> calls;
  };
  Baseline baselines[] = {
      {true, "", "", {Effect::none}, nullptr, {}},
      {false, " without MAPI", "", {Effect::none}, nullptr, {}},
      {true,
       " with an unreadable standard task",
       std::string(old_outlook) +
           "fail object=Item:P/Tasks#3 member=MessageClass kind=get hresult=0x80004005\n",
       {Effect::item_skipped, "P/Tasks", 3},
       verifies,
       {}},
      {true, " on an Outlook without tables", old_outlook, {Effect::none}, walks, {}},
  };
  bool baselines_survived = true;
  for (Baseline& baseline : baselines) {
    machine.mapi_installed = baseline.mapi;
    const Run run = run_program(machine, baseline.rules);
    for (const std::string& problem : check(machine, run, baseline.outcome)) {
      std::printf("baseline%s: %s\n", baseline.name, problem.c_str());
      baselines_survived = false;
    }
    for (const Call& call : calls_of(read_lines(machine.standin_log())))
      if (baseline.swept == nullptr || baseline.swept(call)) baseline.calls.push_back(call);
    const auto outlook_calls = std::count_if(baseline.calls.begin(), baseline.calls.end(),
                                             [](const Call& c) { return c.outlook; });
    std::printf("calls swept%s: %zu (%zu Outlook, %zu MAPI)\n", baseline.name,
                baseline.calls.size(), static_cast<std::size_t>(outlook_calls),
                baseline.calls.size() - static_cast<std::size_t>(outlook_calls));
  }

  // Where the items that GetItemFromID is asked for are.
  const auto profile = testbed::Profile::load(machine.profile() + ".original");

  struct Planned {
    const Baseline* baseline;
    const Call* call;
    Fault fault;
  };
  std::vector<Planned> plan;
  for (const Baseline& baseline : baselines) {
    for (const Call& call : baseline.calls) {
      plan.push_back({&baseline, &call, Fault::code});
      if (!call.outlook) continue;
      plan.push_back({&baseline, &call, Fault::exception});
      plan.push_back({&baseline, &call, Fault::turned_away});
    }
  }
  std::vector<Planned> chosen;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    if (static_cast<long>(i) % parts != part) continue;
    chosen.push_back(plan[i]);
  }
  if (slice > 0 && static_cast<std::size_t>(slice) < chosen.size()) {
    std::vector<Planned> spread;
    for (long i = 0; i < slice; ++i)
      spread.push_back(
          chosen[static_cast<std::size_t>(i) * chosen.size() / static_cast<std::size_t>(slice)]);
    chosen = spread;
  }

  std::size_t survived = 0;
  for (const Planned& planned : chosen) {
    const Call& call = *planned.call;
    machine.mapi_installed = planned.baseline->mapi;
    // The swept rule first: the first rule that matches a call fires.
    const Run run =
        run_program(machine, rule_for(call, planned.fault) + planned.baseline->rules);
    // A call turned away once is asked again: the run ends as if nothing had failed.
    const Expectation expected =
        planned.fault == Fault::turned_away ? planned.baseline->outcome : expect(call, *profile);
    const std::vector<std::string> problems = check(machine, run, expected);
    if (problems.empty()) {
      ++survived;
      continue;
    }
    std::printf("FAILED%s %s", planned.baseline->name, run.rule.c_str());
    for (const std::string& problem : problems) std::printf("    %s\n", problem.c_str());
  }
  std::printf("%zu runs, %zu survived\n", chosen.size(), survived);
  return baselines_survived && survived == chosen.size() ? 0 : 1;
}
