#pragma once
// fleet/: the removal for every user of a machine (profiles, sessions) and the logon entries
// with the runs they start.
//
// A removal for every user of a machine, as deployment systems run it (often as the system
// account, with nobody logged on): the machine's part once, here; each person's settings and
// desktop shortcut through that person's profile now; each person's Outlook part as that
// person, in the session where the person is logged on now, and at every person's next logon.
// This process never makes Outlook's object, never loads MAPI, and never touches its own
// HKEY_CURRENT_USER or desktop: those belong to users.

#include <windows.h>

#include <string>
#include <vector>

#include "base/unique_any.h"
#include "fleet/lasting_copy.h"
#include "parts/elevation.h"
#include "removal/user_profiles.h"
#include "sequence/uninstall.h"

namespace app {

// How long the fleet waits for the user's parts in the sessions, all started at once: within a
// deployment system's time-out; what is not done by then is left to those users' next logon.
inline constexpr DWORD session_part_limit_ms = 5 * 60000;

struct UserSession {
  DWORD id = 0;
  base::unique_handle token;  // the user's, as the platform hands it for the session; or none
  std::string sid;            // empty without the token
  unsigned long error = 0;    // why there is no token (only the system account may have it)
};

// What the fleet reaches outside itself; the program's own wiring by default.
struct FleetSystem {
  std::vector<removal::UserProfile> (*profiles)();
  removal::ProfileOutcome (*remove_from_profile)(const removal::UserProfile& profile,
                                                 removal::Report* report);
  // The sessions with a user logged on.
  std::vector<UserSession> (*sessions)();
  // The program that the logon entries and the sessions run.
  LastingCopy (*place_program)();
  bool (*register_for_logon)(const std::string& program, std::string& version,
                             unsigned long& error);
  // Starts program's user part in the user's session with its token, logging to log_path.
  DWORD (*start_user_part)(HANDLE token, const char* program, const char* log_path,
                           base::unique_handle& process);
  // Waits for that process within the limit: true, with its exit code, when it ended.
  bool (*ended)(HANDLE process, DWORD limit_ms, DWORD& exit_code);
  DWORD session_limit_ms;
};
const FleetSystem& win32_fleet_system();

class FleetParts final : public RemovalParts, UserPart {
 public:
  FleetParts(const UninstallSystem& system, const TokenFacts& token,
             const FleetSystem& fleet = win32_fleet_system())
      : here_(system), token_(token), fleet_(fleet) {}

  bool system_account() const { return token_.system; }
  // Asked for by /allusers, rather than by the system account's run.
  bool by_switch = true;

  PartsReady get_ready(const char* install_dir, Mode mode, RunLog* log) override;
  UserPart& user() override { return *this; }
  MachinePart& machine() override { return here_.machine(); }

  // Every profile, every session, then the logon registration; true when the registration
  // holds, as a user's part not done now is done at the user's logon.
  bool convert_outlook_tasks(bool& needs_manual_form_step, outlook::ConversionReport* report,
                             const outlook::StepEnvironment& environment) override;
  // Done with the profiles, or left to the users' logons.
  bool remove_user_settings(removal::Report*) override { return registered_; }
  bool remove_desktop_shortcut(removal::Report*) override { return registered_; }
  // Nobody at this run's screen is the user who would read it.
  bool open_notes_document() override { return false; }

  // The closing count: profiles done, left to a logon, and failed (left, with no logon to
  // take them).
  void tell_counts() const;

 private:
  struct Person {
    removal::UserProfile profile;
    bool done_now = false;  // settings and shortcut now, and the Outlook part in its session
  };
  void run_sessions(std::vector<Person>& people, const std::string& program);

  LocalParts here_;
  const TokenFacts token_;
  const FleetSystem& fleet_;
  RunLog* log_ = nullptr;
  bool registered_ = false;
  int done_ = 0, deferred_ = 0, failed_ = 0;
};

}  // namespace app
