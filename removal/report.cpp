#include "removal/report.h"

#include <windows.h>

#include <string>

namespace removal {

Outcome outcome_of_error(unsigned long error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Outcome::not_found
                                                                        : Outcome::failed;
}

Outcome told(Report* report, const char* kind, const char* path, Outcome outcome,
             unsigned long error, const char* moved_to) {
  if (report != nullptr) report->removed({kind, path, nullptr, nullptr, outcome, error, moved_to});
  return outcome;
}

Outcome told_deletion(Report* report, const char* kind, const char* path, bool deleted) {
  const DWORD error = deleted ? ERROR_SUCCESS : GetLastError();
  return told(report, kind, path, deleted ? Outcome::deleted : outcome_of_error(error), error);
}

void told_too_long(Report* report, const char* kind, const char* directory, const char* name) {
  if (report == nullptr) return;
  const std::string whole = std::string(directory) + name;
  told(report, kind, whole.c_str(), Outcome::refused, ERROR_FILENAME_EXCED_RANGE);
}

}  // namespace removal
