#pragma once
// The srclient stand-in's way to cut a removal short (end_after.cpp).

namespace testbed_srclient {

// The exit code of a process ended so, the Outlook stand-in's too (testbed::Profile).
inline constexpr unsigned end_exit_code = 0xDEAD;

// Reads SRCLIENT_END_AFTER and, when it names a function and a count, puts the hooks in the
// program's import table; log writes a line to the stand-in's log.
void hook_end_after(void (*log)(const char*));

}  // namespace testbed_srclient
