#pragma once
// The parts of a removal where the program's token puts them: both here; the machine's in an
// elevated copy of the program; or the user's in a process of the desktop's user, started with
// the shell's token. The other process serves its part over a pipe (app/part_channel.h).

#include <windows.h>

#include <optional>
#include <string>

#include "base/unique_any.h"
#include "parts/elevation.h"
#include "parts/part_channel.h"
#include "sequence/uninstall.h"

namespace app {

// What the placement reaches outside itself; the program's own wiring by default.
struct PartProcesses {
  TokenFacts (*token_facts)();
  // The shell's standing beside this process's, and its user's SID as text where it has one.
  ShellStanding (*shell_standing)(std::string& user_sid);
  // Start the program with these parameters (elevated, or with the shell's token); the
  // platform's error code, and the process when it is ERROR_SUCCESS. The user who declines the
  // elevation prompt gives ERROR_CANCELLED.
  DWORD (*start_elevated)(const char* parameters, base::unique_handle& process);
  DWORD (*start_as_shell_user)(const char* parameters, base::unique_handle& process);
  // The id of a process it started.
  DWORD (*process_id)(HANDLE process);
};
const PartProcesses& win32_part_processes();

class ProgramParts final : public RemovalParts {
 public:
  explicit ProgramParts(const UninstallSystem& system,
                        const PartProcesses& processes = win32_part_processes())
      : here_(system), processes_(processes) {}
  // Tells the other process that the removal is over, and waits a while for it to end.
  ~ProgramParts();
  ProgramParts(const ProgramParts&) = delete;
  ProgramParts& operator=(const ProgramParts&) = delete;

  PartsReady get_ready(const char* install_dir, Mode mode, RunLog* log) override;
  UserPart& user() override;
  MachinePart& machine() override;

 private:
  // The other process, started with the part's switch (and, for the machine's part, the
  // directory it removes) and connected from that process; the platform's error.
  DWORD start_other(const char* kind, const char* install_dir, const std::string& user_sid);

  LocalParts here_;
  const PartProcesses& processes_;
  PartPipe pipe_;
  std::optional<PartClient> other_;
  base::unique_handle process_;
  bool user_elsewhere_ = false;
  bool machine_elsewhere_ = false;
};

}  // namespace app
