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
  for (const char* other : {"/x", "-x", "abc", " %", "\"%\"", "\xE9"})
    EXPECT_EQ(app::command_for(other), Command::nothing) << other;
}

}  // namespace
