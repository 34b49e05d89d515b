#pragma once
// What the removal steps did, item by item, for whoever keeps a record of it (the log). A step
// given no report makes no call for one.

namespace removal {

enum class Outcome {
  deleted,
  not_found,  // nothing of that name was there
  failed,
  refused,     // not acted on: the name is no place the program may act on, or does not fit
  at_restart,  // in use: the platform deletes it at the next restart
};

// What a step achieved: whether it counts as done, and whether some of it is left for the
// platform to delete at the next restart.
struct StepResult {
  bool done = false;
  bool at_restart = false;
};

struct Removal {
  const char* kind;             // file, directory, parent, install_dir, key, values, value,
                                // shortcut, shortcut_folder
  const char* path;             // whole: a file's path, or a key's with its root ("HKLM\...")
  const char* value = nullptr;  // a value's name
  const char* view = nullptr;   // "32" or "64" where the registry view was named
  Outcome outcome = Outcome::deleted;
  unsigned long error = 0;         // the platform's error code
  const char* moved_to = nullptr;  // the name a file left for the restart was renamed to
};

class Report {
 public:
  virtual void removed(const Removal& removal) = 0;
  // A file that programs hold open: holders names them ("Merivane (process 1234)"), or is
  // empty where the platform does not say.
  virtual void in_use(const char* path, const char* holders) {
    static_cast<void>(path);
    static_cast<void>(holders);
  }

 protected:
  ~Report() = default;
};

// The outcome of a deletion that failed with error: a missing name is not_found.
Outcome outcome_of_error(unsigned long error);

// Tells the report, if any, how the removal of path ended; answers the outcome.
Outcome told(Report* report, const char* kind, const char* path, Outcome outcome,
             unsigned long error, const char* moved_to = nullptr);

// The outcome of the deletion of path that the platform just answered (deleted, or not with
// its last error), told to the report, if any.
Outcome told_deletion(Report* report, const char* kind, const char* path, bool deleted);

// Tells the report, if any, that directory + name was not acted on: the two do not fit the
// platform's path limit together.
void told_too_long(Report* report, const char* kind, const char* directory, const char* name);

}  // namespace removal
