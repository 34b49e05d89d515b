#include "sequence/restore_point.h"

#include <cstddef>
#include <cstdio>

#include "base/module.h"
#include "base/unique_any.h"
#include "res/resource.h"
#include "sequence/app_instance.h"

namespace app {

// The layouts the platform expects, whatever the pointer size.
static_assert(offsetof(RESTOREPOINTINFOA, dwRestorePtType) == 4);
static_assert(offsetof(RESTOREPOINTINFOA, llSequenceNumber) == 8);
static_assert(offsetof(RESTOREPOINTINFOA, szDescription) == 16);
static_assert(sizeof(RESTOREPOINTINFOA{}.szDescription) == 64);
static_assert(sizeof(RESTOREPOINTINFOA) == 80);
static_assert(offsetof(STATEMGRSTATUS, llSequenceNumber) == 4);
static_assert(sizeof(STATEMGRSTATUS) == 12);

std::int64_t restore_sequence_number = 0;

namespace {

using SetRestorePoint = BOOL(WINAPI*)(PRESTOREPOINTINFOA, PSTATEMGRSTATUS);

constexpr int description_format_limit = 80;
constexpr std::size_t description_capacity = 100;

}  // namespace

void begin_restore_point() {
  restore_sequence_number = restore_point_call(BEGIN_SYSTEM_CHANGE, APPLICATION_INSTALL, 0);
}

void end_restore_point() {
  restore_point_call(END_SYSTEM_CHANGE, APPLICATION_INSTALL, restore_sequence_number);
}

std::int64_t restore_point_call(DWORD event_type, DWORD restore_point_type,
                                std::int64_t sequence_number) {
  char format[description_format_limit];
  if (LoadStringA(app_instance, IDS_RESTORE_POINT_FORMAT, format, description_format_limit) == 0)
    format[0] = '\0';
  char description[description_capacity];
  std::snprintf(description, sizeof description, format, "Merivane");

  RESTOREPOINTINFOA info{};
  info.dwEventType = event_type;
  info.dwRestorePtType = restore_point_type;
  info.llSequenceNumber = sequence_number;
  // The record holds 64 characters: a longer description is cut there, never overrun.
  lstrcpynA(info.szDescription, description, sizeof info.szDescription);

  STATEMGRSTATUS status{};
  status.llSequenceNumber = 0;
  call_system_restore(info, status);
  return status.llSequenceNumber;
}

bool call_system_restore(RESTOREPOINTINFOA& info, STATEMGRSTATUS& status) {
  const base::unique_hmodule library(base::load_system_library("SrClient.DLL"));
  if (!library) return false;
  const auto set_restore_point =
      base::module_entry<SetRestorePoint>(library.get(), "SRSetRestorePointA");
  return set_restore_point != nullptr && set_restore_point(&info, &status) != FALSE;
}

}  // namespace app
