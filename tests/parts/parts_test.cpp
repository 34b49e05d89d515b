// Where the parts of a removal run, and a part served by another process over the pipe.

#include "parts/program_parts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/unattended.h"
#include "parts/elevation.h"
#include "parts/part_channel.h"
#include "testbed/machine/installation.h"
#include "testbed/machine/text_lines.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_system.h"

namespace {

using test_support::fakes;
using test_support::World;
using test_support::world;

using Parts = test_support::FreshWorld;

// The token decides: elevated runs both parts here unless the desktop's user is at another
// level; at the user's level the machine's part goes to an elevated copy, which a quiet run
// may not ask for; the system account keeps both here.
TEST(PartRoutes, FollowTheTokenTheModeAndTheShell) {
  using app::Route;
  using app::ShellStanding;
  const app::TokenFacts full{false, TokenElevationTypeFull, true};
  const app::TokenFacts limited{false, TokenElevationTypeLimited, false};
  const app::TokenFacts administrator{false, TokenElevationTypeDefault, true};
  const app::TokenFacts standard_user{false, TokenElevationTypeDefault, false};
  const app::TokenFacts system{true, TokenElevationTypeDefault, true};
  struct Row {
    app::TokenFacts token;
    app::Mode mode;
    ShellStanding shell;
    Route route;
  };
  const Row rows[] = {
      {full, app::Mode::interactive, ShellStanding::as_this, Route::both_here},
      {full, app::Mode::quiet, ShellStanding::none, Route::both_here},
      {full, app::Mode::passive, ShellStanding::other_level, Route::user_in_shell_session},
      {administrator, app::Mode::quiet, ShellStanding::other_level, Route::user_in_shell_session},
      {limited, app::Mode::interactive, ShellStanding::none, Route::machine_elevated_copy},
      {limited, app::Mode::passive, ShellStanding::other_level, Route::machine_elevated_copy},
      {limited, app::Mode::quiet, ShellStanding::none, Route::needs_administrator},
      {standard_user, app::Mode::interactive, ShellStanding::none, Route::machine_elevated_copy},
      {standard_user, app::Mode::quiet, ShellStanding::none, Route::needs_administrator},
      {system, app::Mode::quiet, ShellStanding::other_level, Route::both_here},
  };
  for (const Row& row : rows) {
    const unsigned at = unsigned(&row - rows);
    EXPECT_EQ(app::route_for(row.token, row.mode, row.shell), row.route) << at;
  }
}

// What the fake processes answer, and the thread that plays the other process: it serves its
// part over the pipe through the fakes, until it has answered serve_requests of them.
struct Placement {
  app::TokenFacts token{false, TokenElevationTypeLimited, false};
  app::ShellStanding shell = app::ShellStanding::none;
  DWORD start_answer = ERROR_SUCCESS;
  int serve_requests = 1000;
  std::vector<std::string> started;  // "elevated <parameters>" or "shell ..."
};
Placement placement;

// The other process: a thread of this one, serving through the fakes.
DWORD WINAPI other_process(void*) {
  const std::string& parameters = placement.started.back();
  char kind[16] = {}, name[MAX_PATH] = {};
  std::sscanf(parameters.c_str(), "%*s %*s %15s %259s", kind, name);
  app::PartPipe pipe;
  if (!pipe.open(name)) return 1;
  app::LocalParts here(fakes);
  // Ends as a process killed half way would: its end of the pipe closes.
  struct Counted final : app::MachinePart {
    app::MachinePart& real;
    explicit Counted(app::MachinePart& machine) : real(machine) {}
    bool spent() { return --placement.serve_requests < 0; }
    app::MachinePart& live() { return spent() ? throw 1 : real; }
    std::int64_t begin_restore_point() override { return spent() ? 0 : real.begin_restore_point(); }
    std::int64_t end_restore_point() override { return spent() ? 0 : real.end_restore_point(); }
    removal::StepResult remove_program_files(const char* dir, removal::Report* report) override {
      return live().remove_program_files(dir, report);
    }
    bool remove_uninstall_entry(removal::Report* report) override {
      return live().remove_uninstall_entry(report);
    }
    bool remove_programs_shortcut(removal::Report* report) override {
      return live().remove_programs_shortcut(report);
    }
  } counted(here.machine());
  try {
    app::serve_part(
        pipe, std::strcmp(kind, "machine") == 0 ? app::PartKind::machine : app::PartKind::user,
        here.user(), counted);
  } catch (...) {
  }
  return 0;
}

DWORD start_thread(const char* how, const char* parameters, base::unique_handle& process) {
  placement.started.push_back(std::string(how) + " " + parameters);
  if (placement.start_answer != ERROR_SUCCESS) return placement.start_answer;
  process.reset(CreateThread(nullptr, 0, other_process, nullptr, 0, nullptr));
  return ERROR_SUCCESS;
}

const app::PartProcesses fake_processes{
    [] { return placement.token; },
    [](std::string& sid) {
      sid = "S-1-5-21-1-2-3-1001";
      return placement.shell;
    },
    [](const char* parameters, base::unique_handle& process) {
      return start_thread("elevated", parameters, process);
    },
    [](const char* parameters, base::unique_handle& process) {
      return start_thread("shell", parameters, process);
    },
    // The other process is a thread of this one.
    [](HANDLE) { return GetCurrentProcessId(); },
};

// Asked of another process, the parts do what they do here: the same steps, results and
// report; nothing at all when the part cannot be had; and a part whose process is gone
// fails its steps at once rather than being waited for.
TEST_F(Parts, PartsInAnotherProcessDoWhatTheyDoHereOrNothingAtAll) {
  // The other process is played by a thread of this one: a 32-bit process under qemu-i386
  // loses its wineserver connection when a second thread waits on pipe I/O beside the first
  // ("wine client error ... Bad file descriptor", seen). The 32-bit program's own copies are
  // separate processes and meet each other in the end-to-end tests.
  if (sizeof(void*) == 4) GTEST_SKIP() << "qemu-i386, threads and pipes";
  const app::TokenFacts full{false, TokenElevationTypeFull, true};
  const app::TokenFacts limited{false, TokenElevationTypeLimited, false};
  struct Row {
    app::TokenFacts token;
    app::ShellStanding shell;
    DWORD start_answer;
    const char* arguments;
    int exit_code;
    const char* started;  // how the other process was started; "" for none
    std::size_t steps;    // the fakes' steps and boxes
    int serve_requests = 1000;
  };
  using enum app::ShellStanding;
  const char* const machine = "elevated /merivane-part machine";
  const char* const user = "shell /merivane-part user";
  const Row rows[] = {
      {limited, none, ERROR_SUCCESS, "/passive /log x %C:\\M\\", 0, machine, 8},
      {full, other_level, ERROR_SUCCESS, "/quiet /log x %C:\\M\\", 0, user, 8},
      {full, other_level, ERROR_ACCESS_DENIED, "/quiet %C:\\M\\", 0, user, 8},
      {full, as_this, ERROR_SUCCESS, "/quiet %C:\\M\\", 0, "", 8},
      {limited, none, ERROR_CANCELLED, "/passive %C:\\M\\", 1602, machine, 0},
      // Interactive: the confirmation, and no box after the prompt was declined.
      {limited, none, ERROR_CANCELLED, "/log x %C:\\M\\", 0, machine, 1},
      {limited, none, ERROR_FILE_NOT_FOUND, "/passive %C:\\M\\", 1603, machine, 0},
      {limited, none, ERROR_SUCCESS, "/quiet /log x %C:\\M\\", 1603, "", 0},
      // Gone after the restore point's begin and the file step: the rest fails at once.
      {limited, none, ERROR_SUCCESS, "/passive %C:\\M\\", 1603, machine, 5, 2},
  };
  const std::string directory = "C:\\merivane-tests\\parts";
  testbed::make_directories(directory);
  for (const Row& row : rows) {
    const unsigned at = unsigned(&row - rows);
    world = World{};
    placement = Placement{row.token, row.shell, row.start_answer, row.serve_requests, {}};
    std::string arguments = row.arguments;
    if (const auto log = arguments.find("/log x"); log != std::string::npos)
      arguments.replace(log, 6, "/log " + directory + "\\run.log");
    int exit_code = -1;
    const DWORD begun = GetTickCount();
    {
      app::ProgramParts parts(fakes, fake_processes);
      exit_code = app::run_with_switches("UninstallMV.exe", arguments.c_str(), fakes, &parts);
    }
    EXPECT_LT(GetTickCount() - begun, 20000u) << at << " waited for a part that was gone";
    EXPECT_EQ(exit_code, row.exit_code) << at;
    const std::string started = placement.started.empty() ? "" : placement.started.front();
    EXPECT_EQ(started.rfind(row.started, 0), 0u) << at << " " << started;
    const auto steps =
        std::count_if(world.events.begin(), world.events.end(), [](const std::string& event) {
          for (const char* progress : {"sleep", "show", "enable", "failed", "dialog"})
            if (event.find(progress) != std::string::npos) return false;
          return true;
        });
    EXPECT_EQ(std::size_t(steps), row.steps) << at << testing::PrintToString(world.events);
    // A part in another process reports what it does here: the same lines, but for where.
    if (row.steps == 8 && arguments.find("/log") != std::string::npos) {
      const auto without_where = [&] {
        std::vector<std::string> lines;
        for (const std::string& line : testbed::read_lines(directory + "\\run.log"))
          if (line.find(" parts ") == std::string::npos) lines.push_back(line.substr(24));
        return lines;
      };
      const auto there = without_where();
      DeleteFileA((directory + "\\run.log").c_str());
      world = World{};
      EXPECT_EQ(app::run_with_switches("UninstallMV.exe", arguments.c_str(), fakes), row.exit_code);
      EXPECT_EQ(there, without_where()) << at;
      EXPECT_EQ(testbed::count_with(there, {"moved_to="}), 1u) << at;
    }
    DeleteFileA((directory + "\\run.log").c_str());
  }
  testbed::remove_tree(directory);
}

// The other process ends when the sequence's side is gone without a word (killed, crashed),
// and ends the restore point it had begun rather than leaving it open.
TEST_F(Parts, APartWhoseSequenceIsGoneEndsAndClosesItsRestorePoint) {
  if (sizeof(void*) == 4) GTEST_SKIP() << "qemu-i386, threads and pipes (as above)";
  placement = Placement{};
  placement.started.push_back(
      "elevated /merivane-part machine "
      "\\\\.\\pipe\\Quillaburst.Merivane.Part.test 1");
  base::unique_handle other;
  {
    app::PartPipe pipe;
    ASSERT_TRUE(pipe.create("\\\\.\\pipe\\Quillaburst.Merivane.Part.test", nullptr));
    other.reset(CreateThread(nullptr, 0, other_process, nullptr, 0, nullptr));
    ASSERT_TRUE(pipe.wait_for_connection(10000));
    app::PartClient client(pipe);
    EXPECT_EQ(client.begin_restore_point(), 4711);
  }
  EXPECT_EQ(WaitForSingleObject(other.get(), 10000), WAIT_OBJECT_0) << "it waits for the gone";
  EXPECT_EQ(world.events, (std::vector<std::string>{"begin restore point", "end restore point"}));
}

// The real program's part in a process of its own, its pipe's other end played by this test:
// the sequence's end, or a rogue's that asks for more than the sequence would.
struct ServedPart {
  base::unique_handle process;
  app::PartPipe pipe;

  // kind "machine" or "user"; server_id: the process its command line names as the server.
  ServedPart(const char* kind, const std::string& install_dir, DWORD server_id) {
    static unsigned long number = 0;
    // Named for the process its command line names, whichever process serves it.
    const std::string name = app::part_pipe_name(server_id, ++number);
    std::string arguments =
        std::string("/merivane-part ") + kind + " " + name + " " + std::to_string(server_id);
    if (std::strcmp(kind, "machine") == 0) arguments += " %" + install_dir;
    if (!pipe.create(name.c_str(), nullptr) || !test_support::start_program(arguments, process)) return;
    pipe.watch(process.get());
    pipe.wait_for_connection(60000);
  }

  // Sends each request (asking for no report) in turn: how many were answered before the part
  // stopped answering.
  std::size_t answered(const std::vector<app::Frame>& requests) {
    std::size_t count = 0;
    for (const app::Frame& request : requests) {
      std::string message;
      if (!pipe.send(request) || !pipe.receive(message, 60000) ||
          app::FrameReader(message).kind() != app::tell_result)
        break;
      ++count;
    }
    return count;
  }
};

app::Frame asking(unsigned char kind, const char* text = nullptr) {
  app::Frame frame(kind);
  frame.number(0);
  if (text != nullptr) frame.text(text);
  return frame;
}

// The machine's part decides for itself: it removes the directory it was started for, whatever
// a request names; it serves each of its own steps at most once, in the sequence's order, and
// nothing after the removal is over; it refuses the user's part's requests (and the user's part
// the machine's), and serves no other process than the one its command line names. Whatever it
// is asked, nothing outside the installation is touched.
TEST(PartServer, DecidesForItselfWhatItRemoves) {
  // This process is the pipe's server here: under qemu-i386 a 32-bit process's overlapped pipe
  // calls are lost or crash it now and then (a cancelled connection that never completes, an
  // illegal instruction: seen), which the program's own 32-bit processes meet end to end.
  if (sizeof(void*) == 4) GTEST_SKIP() << "qemu-i386 and pipes";
  const std::string root = "C:\\merivane-tests\\part-server";
  const std::string install_dir = root + "\\Quillaburst\\Merivane\\";
  const std::string vendor = root + "\\Vendor\\";
  struct Row {
    const char* what;
    std::vector<app::Frame> requests;
    std::size_t answered;
    bool removed;  // the installation's files are gone
    const char* kind = "machine";
    bool named_server = true;
  };
  using namespace app;
  const Frame files = asking(ask_program_files);
  // clang-format off
  const Row rows[] = {
      {"its own directory", {files}, 1, true},
      {"another directory", {asking(ask_program_files, vendor.c_str())}, 0, false},
      {"a step twice", {files, files}, 1, true},
      {"out of order", {asking(ask_uninstall_entry), files}, 1, false},
      {"after the removal",
       {asking(ask_begin_restore_point), asking(ask_end_restore_point), files}, 2, false},
      {"the user's request", {asking(ask_user_settings)}, 0, false},
      {"the machine's request", {files}, 0, false, "user"},
      {"another server", {files}, 0, false, "machine", false},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testbed::remove_tree(root);
    testbed::lay_installation(install_dir);
    testbed::make_directories(vendor);
    for (const std::string& name : testbed::program_file_names())
      testbed::write_file(vendor + name);
    {
      ServedPart part(row.kind, install_dir,
                      row.named_server ? GetCurrentProcessId() : GetCurrentProcessId() + 4);
      ASSERT_TRUE(part.process);
      EXPECT_EQ(part.answered(row.requests), row.answered);
      part.pipe.send(app::Frame(app::ask_finish));
      EXPECT_EQ(WaitForSingleObject(part.process.get(), 30000), WAIT_OBJECT_0);
    }
    EXPECT_EQ(testbed::file_exists(install_dir + "Setup.exe"), !row.removed);
    EXPECT_EQ(testbed::directory_entries(vendor).size(), testbed::program_file_names().size());
  }
  testbed::remove_tree(root);
  // What the installation laid in the registry, for the programs that run after this one.
  for (const testbed::RegistryView& view : testbed::uninstall_entry_views())
    testbed::delete_key_tree(
        HKEY_LOCAL_MACHINE,
        "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillaburst Merivane",
        view.access);
  testbed::delete_key_tree(HKEY_CURRENT_USER, "Software\\Quillaburst");
}

// Once the removal is over, the starter tells its other process so, and that process ends at
// once rather than at its own time-out.
TEST(PartServer, EndsAtOnceWhenTheRemovalIsOver) {
  if (sizeof(void*) == 4) GTEST_SKIP() << "qemu-i386 and pipes (as above)";
  static base::unique_handle other;
  const app::PartProcesses child_processes{
      [] {
        return app::TokenFacts{false, TokenElevationTypeLimited, false};
      },
      [](std::string&) { return app::ShellStanding::none; },
      [](const char* parameters, base::unique_handle& process) {
        if (!test_support::start_program(parameters, process)) return GetLastError();
        HANDLE kept = nullptr;
        DuplicateHandle(GetCurrentProcess(), process.get(), GetCurrentProcess(), &kept, SYNCHRONIZE,
                        FALSE, 0);
        other.reset(kept);
        return DWORD{ERROR_SUCCESS};
      },
      [](const char*, base::unique_handle&) { return DWORD{ERROR_ACCESS_DENIED}; },
      [](HANDLE process) { return GetProcessId(process); },
  };
  DWORD begun = 0;
  {
    app::ProgramParts parts(fakes, child_processes);
    ASSERT_EQ(parts.get_ready("C:\\merivane-tests\\none\\", app::Mode::passive, nullptr),
              app::PartsReady::ready);
    begun = GetTickCount();
  }
  EXPECT_LT(GetTickCount() - begun, 5000u);
  EXPECT_EQ(WaitForSingleObject(other.get(), 0), WAIT_OBJECT_0);
  other.reset();
}

}  // namespace
