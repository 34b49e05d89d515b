#pragma once
// parts/: where the parts of a removal run (the program's token, an elevated copy, a process
// of the desktop's user) and a part served by another process over a pipe.
//
// Who the program runs as, and so where each part of a removal runs: the user's part at the
// user's own level, the machine's part elevated.

#include <windows.h>

#include <string>

#include "base/unique_any.h"
#include "sequence/mode.h"

namespace app {

// What the program's own token says.
struct TokenFacts {
  bool system = false;             // its user is the system account, S-1-5-18
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  bool administrators = false;     // the administrators group is in force in it
};

// What the token of the desktop's shell (the user at the screen) says, beside ours.
enum class ShellStanding {
  none,         // no shell, or its token cannot be had
  as_this,      // the same user, as elevated as this process: nothing to gain there
  other_level,  // not elevated, or another user: the user's part belongs there
};

enum class Route {
  both_here,              // the system account (until it has its own way), or nothing to gain
  machine_elevated_copy,  // started at the user's level: an elevated copy does the machine's
  user_in_shell_session,  // started elevated: the user's part runs with the shell's token
  needs_administrator,    // a quiet run at the user's level, which must not raise a prompt
};

// Elevated is a full token, or a default one (no split token: UAC off, or the built-in
// administrator) with the administrators group in force.
bool is_elevated(const TokenFacts& token);
Route route_for(const TokenFacts& token, Mode mode, ShellStanding shell);

TokenFacts own_token_facts();

// The text of a SID ("S-1-5-21-..."); empty when it cannot be had.
std::string sid_text(PSID sid);
// The text of the SID of a token's user; empty when it cannot be had.
std::string user_sid_text(HANDLE token);
// The text of the SID of this process's user; empty when it cannot be had.
std::string own_user_sid_text();

// A security descriptor made from its text (SDDL), for what this process creates.
class SecurityFromText {
 public:
  explicit SecurityFromText(const std::string& text);
  // Null when the text did not convert.
  SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  base::unique_local descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace app
