// Part of every test program.
//
// Under qemu-i386 the threads of a 32-bit process share one segment descriptor for their
// thread blocks (qemu keeps the descriptor table per process, where Linux keeps that entry per
// thread), and Wine loads the descriptor afresh when a thread resumes after an exception: a
// process that handles an exception while it has a second thread goes on with another
// thread's block and soon dies. GoogleTest raises one for every failure and every skip, by way
// of OutputDebugStringA, for a debugger to show; no debugger listens here, and the text is on
// standard output already.

#include <windows.h>

#include "tests/support/import_hook.h"

#ifndef _WIN64
namespace {

void WINAPI to_no_debugger(LPCSTR) {}

const test_support::ImportHook no_debugger_output("kernel32.dll", "OutputDebugStringA",
                                                  to_no_debugger);

}  // namespace
#endif
