#pragma once
// The System Restore bracket around the removal steps. System Restore is optional: its
// library is loaded by name for each call, and no outcome is ever examined or shown.

#include <windows.h>
// The toolchain's records, byte-packed as the platform lays them out.
#include <srrestoreptapi.h>

#include <cstdint>

namespace app {

// The number the begin call obtained; the end call hands it back.
extern std::int64_t restore_sequence_number;

void begin_restore_point();
void end_restore_point();

// Makes one call with a freshly filled record; returns the sequence number that the status
// record holds afterwards (0 when nothing could be called).
std::int64_t restore_point_call(DWORD event_type, DWORD restore_point_type,
                                std::int64_t sequence_number);

// Loads "SrClient.DLL", calls its SRSetRestorePointA and unloads it; false when the library
// or its entry point is missing.
bool call_system_restore(RESTOREPOINTINFOA& info, STATEMGRSTATUS& status);

}  // namespace app
