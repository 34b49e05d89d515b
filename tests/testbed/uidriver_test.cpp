// The window driver against uidriver_probe, which shows the uninstaller's boxes and progress
// dialog without removing anything; and the recorder that stands in for a document's opener.

#include "testbed/uidriver/driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_any.h"
#include "tests/support/child_process.h"
#include "tests/support/log_lines.h"
#include "testbed/machine/installation.h"

namespace {

using testbed::DialogSample;
using testbed::DriverOptions;
using testbed::Report;

const std::string directory = "C:\\merivane-tests\\uidriver";
const std::string question =
    "Are you sure you want to completely remove Merivane from your computer?";
const std::string probe_labels[4] = {"Probe step one", "Probe step two", "Probe step three",
                                     "Probe step four"};
const char probe_registry_defaults[] = "Software\\Wine\\AppDefaults\\uidriver_probe.exe";

std::string bin_directory() {
  const std::string program = test_support::own_program();
  return program.substr(0, program.find_last_of('\\') + 1);
}

// A started program, ended at the latest when the test is over so that no window of it is
// left for the next test's driver to find.
class Started {
 public:
  Started(const std::string& program, std::string command_line,
          const std::string& current_directory = {}) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       current_directory.empty() ? nullptr : current_directory.c_str(), &startup,
                       &started)) {
      process_.reset(started.hProcess);
      thread_.reset(started.hThread);
      id_ = started.dwProcessId;
    }
  }
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;
  ~Started() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.get(), 0xDEAD);
      WaitForSingleObject(process_.get(), 5000);
    }
  }

  bool ok() const { return static_cast<bool>(process_); }
  HANDLE process() const { return process_.get(); }
  DWORD id() const { return id_; }
  bool ended_within(DWORD ms) const { return WaitForSingleObject(process_.get(), ms) == 0; }

 private:
  base::unique_handle process_, thread_;
  DWORD id_ = 0;
};

class UiDriver : public ::testing::Test {
 protected:
  // Wine waits up to two seconds for a window manager to withdraw each managed window it
  // hides, and the tests' Xvfb has none: unmanaged, the probe's boxes go at once (and Wine
  // draws their captions itself). Wine only; Windows ignores the key.
  static void SetUpTestSuite() {
    testbed::set_string_value(
        HKEY_CURRENT_USER, std::string(probe_registry_defaults) + "\\X11 Driver", "Managed", "N");
  }
  static void TearDownTestSuite() {
    testbed::delete_key_tree(HKEY_CURRENT_USER, probe_registry_defaults);
  }

  void SetUp() override {
    testbed::remove_tree(directory);
    testbed::make_directories(directory);
  }

  static std::unique_ptr<Started> start_probe(const std::string& arguments) {
    auto started = std::make_unique<Started>(bin_directory() + "uidriver_probe.exe",
                                             "uidriver_probe.exe " + arguments);
    EXPECT_TRUE(started->ok());
    return started;
  }

  static Report drive_probe(const std::string& arguments, DriverOptions options = {}) {
    options.timeout_ms = 15000;
    const auto probe = start_probe(arguments);
    if (!probe->ok()) return {};
    return testbed::drive(probe->process(), probe->id(), options);
  }
};

// What changed between consecutive samples, one group per sample: "show 1004",
// "enable 1001", "text 1005 Failed".
std::vector<std::vector<std::string>> changes(const std::vector<DialogSample>& samples) {
  std::vector<std::vector<std::string>> groups;
  for (std::size_t index = 1; index < samples.size(); ++index) {
    std::vector<std::string> group;
    for (int label = 0; label < testbed::label_count; ++label) {
      const testbed::LabelState& before = samples[index - 1].labels[label];
      const testbed::LabelState& after = samples[index].labels[label];
      const std::string id = std::to_string(testbed::first_label_id + label);
      if (before.text != after.text) group.push_back("text " + id + " " + after.text);
      if (before.visible != after.visible)
        group.push_back((after.visible ? "show " : "hide ") + id);
      if (before.enabled != after.enabled)
        group.push_back((after.enabled ? "enable " : "disable ") + id);
    }
    groups.push_back(group);
  }
  return groups;
}

// Changes that fall between two samples share a group, so the order is checked across groups
// only: each expected change must come in the same group as its predecessor or a later one.
void expect_changes_in_order(const std::vector<DialogSample>& samples,
                             const std::vector<std::string>& expected) {
  const auto groups = changes(samples);
  std::vector<std::pair<std::size_t, std::string>> seen;
  for (std::size_t group = 0; group < groups.size(); ++group)
    for (const std::string& change : groups[group]) seen.emplace_back(group, change);
  ASSERT_EQ(seen.size(), expected.size()) << testing::PrintToString(groups);
  std::size_t previous_group = 0;
  for (const std::string& change : expected) {
    const auto found = std::find_if(seen.begin(), seen.end(),
                                    [&](const auto& item) { return item.second == change; });
    ASSERT_NE(found, seen.end()) << change << " missing in " << testing::PrintToString(groups);
    EXPECT_GE(found->first, previous_group) << change << " too early";
    previous_group = found->first;
  }
}

void expect_label(const DialogSample& sample, int id, const std::string& text, bool visible,
                  bool enabled) {
  const testbed::LabelState& label = sample.labels[id - testbed::first_label_id];
  EXPECT_EQ(label.text, text) << id;
  EXPECT_EQ(label.visible, visible) << id;
  EXPECT_EQ(label.enabled, enabled) << id;
}

TEST_F(UiDriver, YesRecordsBothBoxesAndEveryLabelChangeInOrder) {
  struct Case {
    const char* arguments;
    int failed_label;
    const char* icon;
    std::string text;
  };
  const Case cases[] = {
      {"", 0, "information", "The probe finished."},
      {"--fail 1005 --exclamation", 1005, "exclamation",
       "The probe \"failed\".\n\nSee C:\\probe\\log."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Report report = drive_probe(c.arguments);

    EXPECT_TRUE(report.confirmation.seen);
    EXPECT_EQ(report.confirmation.text, question);
    EXPECT_EQ(report.confirmation.icon, "question");
    // Wine's texts of the buttons, with their mnemonics.
    EXPECT_EQ(report.confirmation.buttons, (std::vector<std::string>{"&Yes", "&No"}));
    EXPECT_FALSE(report.confirmation.dialog_present);

    ASSERT_TRUE(report.dialog_seen);
    EXPECT_GE(report.dialog_first_ms, report.confirmation.at_ms);
    ASSERT_FALSE(report.samples.empty());
    const DialogSample& first = report.samples.front();
    EXPECT_EQ(first.at_ms, report.dialog_first_ms);
    expect_label(first, 1000, probe_labels[0], true, true);
    for (int step = 1; step < 4; ++step)
      expect_label(first, 1000 + step, probe_labels[step], true, false);
    for (int step = 0; step < 4; ++step) expect_label(first, 1004 + step, "Done", false, true);

    for (std::size_t index = 1; index < report.samples.size(); ++index)
      EXPECT_LE(report.samples[index - 1].at_ms, report.samples[index].at_ms);
    for (const auto& group : changes(report.samples))
      EXPECT_FALSE(group.empty()) << "a sample equal to the one before was kept";

    std::vector<std::string> expected = {"show 1004", "enable 1001", "show 1005", "enable 1002",
                                         "show 1006", "enable 1003", "show 1007"};
    if (c.failed_label != 0) {
      const auto shown =
          std::find(expected.begin(), expected.end(), "show " + std::to_string(c.failed_label));
      expected.insert(shown, "text " + std::to_string(c.failed_label) + " Failed");
    }
    expect_changes_in_order(report.samples, expected);
    const DialogSample& last = report.samples.back();
    for (int step = 0; step < 4; ++step) {
      expect_label(last, 1000 + step, probe_labels[step], true, true);
      const int result = 1004 + step;
      expect_label(last, result, result == c.failed_label ? "Failed" : "Done", true, true);
    }

    EXPECT_TRUE(report.final_box.seen);
    EXPECT_EQ(report.final_box.text, c.text);
    EXPECT_EQ(report.final_box.icon, c.icon);
    EXPECT_EQ(report.final_box.buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(report.final_box.dialog_present);
    EXPECT_GE(report.final_box.at_ms, last.at_ms);

    EXPECT_FALSE(report.poke_done);
    EXPECT_FALSE(report.timed_out);
    EXPECT_EQ(report.exit_code, 0u);
    EXPECT_GE(report.total_ms, report.final_box.at_ms);
  }
}

TEST_F(UiDriver, NoEndsTheProgramBeforeAnyDialog) {
  DriverOptions options;
  options.answer_yes = false;
  const Report report = drive_probe("", options);
  EXPECT_TRUE(report.confirmation.seen);
  EXPECT_EQ(report.confirmation.icon, "question");
  EXPECT_FALSE(report.dialog_seen);
  EXPECT_TRUE(report.samples.empty());
  EXPECT_FALSE(report.final_box.seen);
  EXPECT_FALSE(report.timed_out);
  EXPECT_EQ(report.exit_code, 0u);
}

TEST_F(UiDriver, PokingTellsADialogThatIgnoresClosingFromOneThatCloses) {
  // The probe's dialog procedure returns FALSE for every message, as the uninstaller's does:
  // Escape, the close box and WM_CLOSE then leave it alone. --closable ends it on IDCANCEL.
  struct Case {
    const char* arguments;
    bool survives;
  };
  for (const Case c : {Case{"", true}, Case{"--closable", false}}) {
    SCOPED_TRACE(c.arguments);
    DriverOptions options;
    options.poke_dialog = true;
    const Report report = drive_probe(c.arguments, options);
    EXPECT_TRUE(report.poke_done);
    EXPECT_EQ(report.dialog_survived_poke, c.survives);
    EXPECT_TRUE(report.final_box.seen);
    EXPECT_EQ(report.final_box.dialog_present, c.survives);
    EXPECT_EQ(report.exit_code, 0u);
    ASSERT_FALSE(report.samples.empty());
    if (c.survives) expect_label(report.samples.back(), 1007, "Done", true, true);
  }
}

struct BmpShape {
  std::int32_t width = 0, height = 0;
  int bits = 0;
  std::size_t distinct_colours = 0;
  bool size_consistent = false;
};

BmpShape read_bmp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), {}};
  BmpShape shape;
  if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return shape;
  const auto number = [&](std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[at + i];
    return value;
  };
  shape.width = static_cast<std::int32_t>(number(18, 4));
  shape.height = static_cast<std::int32_t>(number(22, 4));
  shape.bits = static_cast<int>(number(28, 2));
  const std::uint32_t offset = number(10, 4);
  const std::size_t row = (static_cast<std::size_t>(shape.width) * (shape.bits / 8) + 3) & ~3u;
  const std::size_t height =
      static_cast<std::size_t>(shape.height < 0 ? -shape.height : shape.height);
  shape.size_consistent = shape.bits == 24 && bytes.size() == offset + row * height;
  if (!shape.size_consistent) return shape;
  std::set<std::uint32_t> colours;
  for (std::size_t y = 0; y < height; ++y)
    for (std::size_t x = 0; x < static_cast<std::size_t>(shape.width); ++x)
      colours.insert(number(offset + y * row + x * 3, 3));
  shape.distinct_colours = colours.size();
  return shape;
}

TEST_F(UiDriver, PicturesShowTheDialogAndTheFinalBoxCroppedToTheirWindows) {
  const auto probe = start_probe("--exclamation");
  ASSERT_TRUE(probe->ok());
  DriverOptions options;
  options.timeout_ms = 15000;
  options.screenshot_dir = directory + "\\pictures";
  Report report;
  std::atomic<bool> driven{false};
  std::thread driver([&] {
    report = testbed::drive(probe->process(), probe->id(), options);
    driven = true;
  });

  // Meanwhile the windows' rectangles, as the driver should crop them; they never move.
  RECT dialog{}, box{};
  while (!driven) {
    const HWND shown_dialog = FindWindowA("#32770", testbed::dialog_title);
    if (shown_dialog != nullptr) {
      GetWindowRect(shown_dialog, &dialog);
      for (HWND window = FindWindowA("#32770", testbed::box_caption); window != nullptr;
           window = FindWindowExA(nullptr, window, "#32770", testbed::box_caption)) {
        char text[128] = "";
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        if (IsWindowVisible(window) && *text != '\0' && question != text)
          GetWindowRect(window, &box);
      }
    }
    Sleep(5);
  }
  driver.join();
  ASSERT_TRUE(report.final_box.seen);
  EXPECT_FALSE(report.timed_out);

  struct Picture {
    const char* name;
    RECT area;
  };
  for (const Picture& picture : {Picture{"dialog.bmp", dialog}, Picture{"final.bmp", box}}) {
    SCOPED_TRACE(picture.name);
    const BmpShape shape = read_bmp(options.screenshot_dir + "\\" + picture.name);
    EXPECT_TRUE(shape.size_consistent);
    EXPECT_EQ(shape.width, picture.area.right - picture.area.left);
    EXPECT_EQ(shape.height, picture.area.bottom - picture.area.top);
    EXPECT_GT(shape.width, 100);
    // Text, icon and frame: far more than the one colour of an empty or failed copy.
    EXPECT_GE(shape.distinct_colours, 5u);
  }
}

TEST_F(UiDriver, ATimeOutLeavesTheProgramRunning) {
  const auto probe = start_probe("");
  ASSERT_TRUE(probe->ok());
  DriverOptions options;
  options.timeout_ms = 100;
  const Report report = testbed::drive(probe->process(), probe->id(), options);
  EXPECT_TRUE(report.timed_out);
  EXPECT_EQ(report.exit_code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_GE(report.total_ms, 100u);
  EXPECT_FALSE(probe->ended_within(0));
}

TEST_F(UiDriver, IconNamesTheFourBoxIconsByTheirPixels) {
  struct Case {
    LPCSTR id;
    const char* name;
  };
  for (const Case c : {Case{IDI_QUESTION, "question"}, Case{IDI_INFORMATION, "information"},
                       Case{IDI_EXCLAMATION, "exclamation"}, Case{IDI_ERROR, "error"},
                       Case{IDI_APPLICATION, "unknown"}}) {
    EXPECT_EQ(testbed::icon_name(LoadIconA(nullptr, c.id)), c.name);
    // A private copy has another handle but the same pixels.
    const HICON copy = CopyIcon(LoadIconA(nullptr, c.id));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(testbed::icon_name(copy), c.name);
    DestroyIcon(copy);
  }
  EXPECT_EQ(testbed::icon_name(nullptr), "none");
}

TEST_F(UiDriver, ReportTextFollowsItsDocumentedFormat) {
  Report report;
  report.confirmation = {true, "Sure?", "question", {"&Yes", "&No"}, 35, false};
  report.dialog_seen = true;
  report.dialog_first_ms = 260;
  DialogSample sample{260, {}};
  for (int index = 0; index < testbed::label_count; ++index)
    sample.labels[index] = {"Step", index < 4, index == 0};
  sample.labels[5] = {"Say \"hi\"\t\\ \x01", true, true};
  report.samples.push_back(sample);
  report.final_box = {true, "One.\r\n\nTwo.", "exclamation", {"OK"}, 3900, true};
  report.poke_done = true;
  report.dialog_survived_poke = true;
  report.exit_code = 0;
  report.total_ms = 4012;

  const std::string expected =
      "confirmation seen=yes at_ms=35 icon=question buttons=\"&Yes\",\"&No\" "
      "dialog_present=no\n"
      "confirmation text=\"Sure?\"\n"
      "dialog seen=yes first_ms=260\n"
      "sample at_ms=260 1000=VE:\"Step\" 1001=VD:\"Step\" 1002=VD:\"Step\" 1003=VD:\"Step\" "
      "1004=HD:\"Step\" 1005=VE:\"Say \\\"hi\\\"\\t\\\\ \\x01\" 1006=HD:\"Step\" "
      "1007=HD:\"Step\"\n"
      "final seen=yes at_ms=3900 icon=exclamation buttons=\"OK\" dialog_present=yes\n"
      "final text=\"One.\\r\\n\\nTwo.\"\n"
      "poke done=yes dialog_survived=yes\n"
      "end exit_code=0 timed_out=no total_ms=4012\n";
  EXPECT_EQ(testbed::report_text(report), expected);

  const std::string untouched =
      "confirmation seen=no\n"
      "dialog seen=no\n"
      "final seen=no\n"
      "poke done=no\n"
      "end exit_code=259 timed_out=yes total_ms=0\n";
  Report timed_out;
  timed_out.timed_out = true;
  EXPECT_EQ(testbed::report_text(timed_out), untouched);
}

TEST(Recorder, AppendsTheRawCommandLineAndTheCurrentDirectory) {
  const std::string work = directory + "\\recorder";
  testbed::remove_tree(work);
  testbed::make_directories(work + "\\a b");
  const std::string log = work + "\\recorder.log";
  // Under the name the tests give it when it stands in for the document's opener.
  ASSERT_TRUE(CopyFileA((bin_directory() + "recorder.exe").c_str(),
                        (work + "\\merivane.exe").c_str(), FALSE));
  SetEnvironmentVariableA("MERIVANE_RECORDER_LOG", log.c_str());

  struct Case {
    std::string command_line, current_directory;
  };
  const Case cases[] = {
      {"merivane.exe  \"C:\\a b\\UninstallMV.doc\" ", work + "\\a b"},
      {"\"" + work + "\\merivane.exe\" %C:\\dir\\|x", "C:\\"},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    const Started recorder(work + "\\merivane.exe", c.command_line, c.current_directory);
    ASSERT_TRUE(recorder.ok());
    ASSERT_TRUE(recorder.ended_within(10000));
    DWORD exit_code = 0xdeadbeef;
    GetExitCodeProcess(recorder.process(), &exit_code);
    EXPECT_EQ(exit_code, 0u);
    expected.push_back(c.command_line + "|" + c.current_directory);
  }
  SetEnvironmentVariableA("MERIVANE_RECORDER_LOG", nullptr);
  EXPECT_EQ(test_support::read_lines(log), expected);
  std::ifstream raw(log, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(raw), {}};
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\r'), 0) << "LF line ends only";
}

}  // namespace
