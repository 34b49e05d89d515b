// uidriver [--no] [--poke] [--limited] [--screenshots DIR] [--report FILE] -- PROGRAM
//          COMMAND_LINE...
//
// Starts PROGRAM with the arguments after it, joined by single blanks, as its exact command
// line (CreateProcessA takes them as they are: quotes the program should see must be part of
// the arguments), drives its windows and writes the report to FILE or standard output.
// --limited starts it with the limited token, as the shell starts it for an administrator
// whose rights are not in use.
// Exits 0 when the program ended by itself with exit code 0, else 1; 2 on a usage error.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/unique_any.h"
#include "testbed/machine/elevation.h"
#include "testbed/uidriver/driver.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: uidriver [--no] [--poke] [--limited] [--screenshots DIR] [--report FILE] "
               "-- PROGRAM COMMAND_LINE...\n");
  return 2;
}

bool write_report(const std::string& text, const std::string& path) {
  if (path.empty()) return std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  testbed::DriverOptions options;
  std::string report_path;
  int index = 1;
  for (; index < argc && std::strcmp(argv[index], "--") != 0; ++index) {
    const std::string option = argv[index];
    const bool has_value = index + 1 < argc;
    if (option == "--no")
      options.answer_yes = false;
    else if (option == "--poke")
      options.poke_dialog = true;
    else if (option == "--limited")
      options.limited_token = true;
    else if (option == "--screenshots" && has_value)
      options.screenshot_dir = argv[++index];
    else if (option == "--report" && has_value)
      report_path = argv[++index];
    else
      return usage();
  }
  if (index + 2 > argc) return usage();
  const std::string program = argv[index + 1];
  std::string command_line;
  for (int word = index + 2; word < argc; ++word) {
    if (!command_line.empty()) command_line += ' ';
    command_line += argv[word];
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  const testbed::Token token =
      options.limited_token ? testbed::Token::limited : testbed::Token::own;
  if (!testbed::create_process(token, program.c_str(), command_line, FALSE, 0, nullptr, startup,
                               started)) {
    std::fprintf(stderr, "uidriver: cannot start %s (error %lu)\n", program.c_str(),
                 GetLastError());
    return 1;
  }
  const base::unique_handle process(started.hProcess), thread(started.hThread);
  const testbed::Report report = testbed::drive(process.get(), started.dwProcessId, options);
  if (!write_report(testbed::report_text(report), report_path)) {
    std::fprintf(stderr, "uidriver: cannot write the report\n");
    return 1;
  }
  return !report.timed_out && report.exit_code == 0 ? 0 : 1;
}
