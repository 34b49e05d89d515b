#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using app::Command;

TEST(ArgumentString, DropsTheProgramsNameAndTheBlanksBehindIt) {
  struct Case {
    const char* command_line;
    const char* arguments;
  };
  const Case cases[] = {
      {"UninstallMV.exe", ""},
      {"UninstallMV.exe    \t ", ""},
      {"UninstallMV.exe %C:\\Merivane\\", "%C:\\Merivane\\"},
      {"\"C:\\Program Files\\UninstallMV.exe\" %C:\\Merivane\\", "%C:\\Merivane\\"},
      {"\"C:\\Program Files\\UninstallMV.exe\"%x", "%x"},
      {"\"C:\\unterminated name %x", ""},
      {"UninstallMV.exe \t%\"C:\\My Dir\\\"  ", "%\"C:\\My Dir\\\"  "},
      {"Unin\xE9stall.exe %C:\\x\\", "%C:\\x\\"},  // a non-ASCII byte is part of the name
      {"UninstallMV.exe\x01\x1f %a", "%a"},        // every code from 1 to 32 is a blank
      {"", ""},
  };
  for (const Case& c : cases)
    EXPECT_STREQ(app::argument_string(c.command_line), c.arguments) << c.command_line;
}

TEST(CommandFor, OnlyTheFirstCharacterDecides) {
  EXPECT_EQ(app::command_for(""), Command::launch_setup);
  for (const char* uninstall : {"%", "%%x", "%C:\\Merivane\\", "%\"C:\\x\\\" "})
    EXPECT_EQ(app::command_for(uninstall), Command::uninstall) << uninstall;
  for (const char* switches : {"/x", "/quiet %C:\\x\\", "/"})
    EXPECT_EQ(app::command_for(switches), Command::switches) << switches;
  for (const char* other : {"-x", "abc", " %", "\"%\"", "\xE9"})
    EXPECT_EQ(app::command_for(other), Command::nothing) << other;
}

TEST(ParseSwitches, EachSwitchItsLogAndTheInstallationDirectory) {
  using app::Mode;
  struct Case {
    const char* arguments;
    bool valid;
    Mode mode = Mode::interactive;
    bool help = false;
    const char* log_file = "";
    const char* install_dir = nullptr;  // null: none
    bool all_users = false;
  };
  const std::string longest(259, 'L');
  const std::string too_long(260, 'L');
  const std::string at_limit = "/log " + longest;
  const std::string past_limit = "/log " + too_long;
  const Case cases[] = {
      {"/quiet", true, Mode::quiet, false, "", nullptr},
      {"/QUIET %C:\\My Dir\\", true, Mode::quiet, false, "", "C:\\My Dir\\"},
      {"/Passive\t%x", true, Mode::passive, false, "", "x"},
      {"/passive /quiet", true, Mode::quiet, false, "", nullptr},
      {"/log C:\\l.txt %%d", true, Mode::interactive, false, "C:\\l.txt", "%d"},
      {"/log:C:\\l.txt /quiet", true, Mode::quiet, false, "C:\\l.txt", nullptr},
      {"/LOG \"C:\\a b\\%x.log\" %C:\\d\\", true, Mode::interactive, false, "C:\\a b\\%x.log",
       "C:\\d\\"},
      {"/log:\"C:\\a b.log\"  /passive  ", true, Mode::passive, false, "C:\\a b.log", nullptr},
      {"/?", true, Mode::interactive, true, "", nullptr},
      {"/quiet %", true, Mode::quiet, false, "", ""},
      {"/quiet % /x", true, Mode::quiet, false, "", " /x"},  // the directory runs to the end
      {at_limit.c_str(), true, Mode::interactive, false, longest.c_str(), nullptr},
      {past_limit.c_str(), false},
      {"/x", false},
      {"/quietly", false},
      {"/quiet:", false},
      {"/log", false},
      {"/log %C:\\d\\", false},
      {"/log:", false},
      {"/log \"C:\\unclosed", false},
      {"/log \"a\"b", false},
      {"/log a /log b", false},
      {"/quiet x %C:\\d\\", false},
      {"/quiet -passive", false},
      {"/allusers", true, Mode::quiet, false, "", nullptr, true},
      {"/AllUsers /passive /log:f %d", true, Mode::passive, false, "f", "d", true},
      {"/allusers:", false},
  };
  for (const Case& c : cases) {
    app::Switches switches;
    ASSERT_EQ(app::parse_switches(c.arguments, switches), c.valid) << c.arguments;
    if (!c.valid) continue;
    EXPECT_EQ(switches.mode, c.mode) << c.arguments;
    EXPECT_EQ(switches.help, c.help) << c.arguments;
    EXPECT_EQ(switches.all_users, c.all_users) << c.arguments;
    EXPECT_STREQ(switches.log_file, c.log_file) << c.arguments;
    if (c.install_dir == nullptr) {
      EXPECT_EQ(switches.install_dir, nullptr) << c.arguments;
    } else {
      EXPECT_STREQ(switches.install_dir, c.install_dir) << c.arguments;
    }
  }
}

}  // namespace
