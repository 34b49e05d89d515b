#pragma once
// The running program's own import table: where it keeps the address of each function it
// imports by name from a DLL. The testbed puts its own functions there to see or change what
// the program's code calls; calls made from inside other DLLs do not pass through it.

#include <windows.h>

namespace testbed {

// Any function, as the import table holds it.
using ImportedFunction = void (*)();

// The slot of function imported by name from dll (as the table names it, case aside), or null.
ImportedFunction* import_slot(const char* dll, const char* function);

// Writes value into the slot, for all that its page is read-only. False when it cannot.
bool write_import_slot(ImportedFunction* slot, ImportedFunction value);

}  // namespace testbed
