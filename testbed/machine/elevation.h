#pragma once
// Which token a process runs with, and starting a program with the token the shell gives an
// administrator whose rights are not in use: how the tests and the demo tell the user's part
// of a removal from the machine's, and play the user's start of the program.

#include <windows.h>

#include <string>

#include "base/unique_any.h"

namespace testbed {

// "full", "limited" or "default" (a token without a linked one: a standard user, or an
// administrator's where UAC is off), from the TokenElevationType of the process's token;
// "unknown" when it cannot be read. The handle needs PROCESS_QUERY_LIMITED_INFORMATION.
std::string elevation_of(HANDLE process);

// A primary token of the limited level for a new process: this process's own when it runs
// limited, else its linked token when that is the limited one. Empty when neither is (a
// "default" token has no linked one); GetLastError then says why.
base::unique_handle limited_primary_token();

// Whose token a started program gets: this process's, or the limited one above.
enum class Token { own, limited };

// CreateProcessA with these arguments, or for Token::limited CreateProcessAsUserA with
// limited_primary_token() and the same arguments. False when the program was not started,
// for Token::limited also when there is no limited token: such a start never falls back to
// this process's token.
bool create_process(Token token, const char* module, std::string& command_line,
                    BOOL inherit_handles, DWORD flags, const char* directory, STARTUPINFOA& startup,
                    PROCESS_INFORMATION& started);

}  // namespace testbed
