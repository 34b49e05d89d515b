// The log as its readers take it back: whatever a name holds, an event stays one line and each
// quoted field reads back as the text that was quoted.

#include "sequence/log_file.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "removal/report.h"
#include "testbed/machine/installation.h"
#include "tests/support/log_lines.h"

namespace {

const std::string directory = "C:\\merivane-tests\\log";
const std::string log_path = directory + "\\run.log";

// The lines a fresh log holds after write, each read back (parse_log fails the test for a line
// that does not parse).
template <typename Write>
std::vector<test_support::LogLine> logged(Write write) {
  testbed::remove_tree(directory);
  testbed::make_directories(directory);
  {
    app::LogFile log;
    EXPECT_TRUE(log.open(log_path.c_str()));
    write(log);
  }
  return test_support::parse_log(log_path);
}

TEST(LogFile, AwkwardNamesStayInTheirFieldAndOnTheirLine) {
  struct Row {
    const char* name;
    const char* quoted;
  };
  const Row rows[] = {
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\Program Files\\Merivane\\", R"("C:\\Program Files\\Merivane\\")"},
      {"a\\", R"("a\\")"},
      {"one\r\ntwo", R"("one\x0D\x0Atwo")"},
      {"a\" outcome=deleted", R"("a\" outcome=deleted")"},
      {"", R"("")"},
      {"\\x41\t\x7F", R"("\\x41\x09\x7F")"},
      {"Caf\xE9", "\"Caf\xE9\""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(app::log_quoted(row.name), row.quoted);
    const auto lines = logged([&](app::LogFile& log) {
      log.removed({"value", row.name, row.name, nullptr, removal::Outcome::failed, 5});
      log.line(std::string("note ") + row.name);
    });
    ASSERT_EQ(lines.size(), 2u) << row.quoted;
    const std::map<std::string, std::string> fields = {
        {"path", row.name}, {"name", row.name}, {"outcome", "failed"}, {"error", "5"}};
    EXPECT_EQ(lines[0].fields, fields) << row.quoted;
  }
}

// The Restart Manager's names of the programs that hold a file go whole into one field.
TEST(LogFile, TheHoldersOfAFileInUseReadBackWhole) {
  const char* const path = "C:\\M\\Merivane.exe";
  for (const char* holders : {"Merivane (process 1234), Help Viewer (process 88)",
                              "Say \"Hi\" (process 7), C:\\Tools\\ (process 9)", ""}) {
    const auto lines = logged([&](app::LogFile& log) { log.in_use(path, holders); });
    ASSERT_EQ(lines.size(), 1u) << holders;
    EXPECT_EQ(lines[0].event, "in_use");
    std::map<std::string, std::string> fields = {{"path", path}};
    if (holders[0] != '\0') fields["held_by"] = holders;
    EXPECT_EQ(lines[0].fields, fields) << holders;
  }
}

}  // namespace
