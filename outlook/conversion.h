#pragma once
// The Outlook step: every task of the add-in's class in every task folder of every store
// becomes a standard task again, and task folders whose default form is the add-in's get the
// standard task form back.

#include <functional>
#include <string>
#include <vector>

#include "outlook/call_watch.h"
#include "outlook/dispatch_ptr.h"
#include "outlook/form_writer.h"
#include "outlook/members.h"

namespace outlook {

// The add-in's message class: its tasks and its published form.
inline constexpr char addin_class[] = "IPM.Task.Merivane";

// Called for every folder the walk can read, with a reference of its own. Returns false to
// stop the whole walk.
using FolderVisitor = std::function<bool(DispatchPtr folder, bool& needs_manual_form_step)>;

// What the step did, counted as it goes.
struct ConversionTally {
  long stores = 0;  // counted only for a report
  long folders = 0;
  long task_folders = 0;
  long items_converted = 0;
  long items_not_converted = 0;  // of the add-in's, whose new class could not be written or saved
  long forms_reset = 0;
  // the add-in's, or one that could not be told or not even probed (no way to write it), left
  // for the manual step
  long forms_left = 0;
  long folders_unverified = 0;  // with items unread, and items of the add-in's left or not told
  // The add-in's published form: the libraries it was removed from, and those it may be left in
  // (a removal refused or not verified, or a library that could not be asked).
  long forms_removed = 0;
  long published_forms_left = 0;
};

// What the step did, told to whoever keeps a record (the log). Folders are named by their
// path as Outlook gives it. A step given no report makes no call for one.
class ConversionReport {
 public:
  virtual void item_not_converted(const char* folder, long code) = 0;
  virtual void form_reset(const char* folder, const char* by) = 0;
  virtual void form_left(const char* folder) = 0;
  // How a task folder's items were read: "table", Outlook's table of the items of the add-in's
  // class, or "items", every item asked for its class (an Outlook without tables, or a table
  // that could not be read).
  virtual void folder_read(const char* folder, const char* way) = 0;
  // Once Outlook was reached, at the end of the step.
  virtual void converted(const ConversionTally& tally) = 0;
  // Why the step ended early: the stage that failed ("com", "application", "namespace") and
  // its HRESULT.
  virtual void outlook_failed(const char* stage, long code) = 0;
  // The walk was cut short: the folder whose call raised (empty: the stores' own list) and the
  // HRESULT it raised.
  virtual void walk_stopped(const char* folder, long code) = 0;
  // Extended MAPI could not be had: the stage ("detection", "load", "bind", "initialise",
  // "logon") and its code, an HRESULT (0 for detection).
  virtual void mapi_unavailable(const char* stage, long code) = 0;
  // A task folder's form was not even probed: neither MAPI nor Outlook could have written it.
  virtual void form_not_writable(const char* folder) = 0;
  // A forms library asked to give up the add-in's published form: library "personal", "local"
  // or "folder" (then folder names it); way "mapi" or "outlook"; result "removed", "absent",
  // "left" or "failed"; the last HRESULT.
  virtual void form_removal(const char* library, const char* folder, const char* way,
                            const char* result, long code) = 0;
  // The add-in's form was found in the organization's library alone, which is not the user's
  // and is left.
  virtual void form_in_organization() = 0;
  // A folder with items that could not be read holds items of the add-in's: left of them, or
  // -1 when Outlook could not tell.
  virtual void folder_unverified(const char* folder, long left) = 0;
  // Outlook is open where COM cannot bind to it; asked: the user was asked to close it and
  // chose to go on without.
  virtual void outlook_open_elsewhere(bool asked) = 0;
  // A call (named as the log names it) has not come back: the step was given up.
  virtual void call_unanswered(const char* call, unsigned long waited_ms) = 0;
  // A call that Outlook still turned away when its retry limit had passed: the step was given
  // up, as Outlook is taking no calls.
  virtual void outlook_busy(const char* call, unsigned long waited_ms) = 0;
  // At the end of the step, however it ended: answers that turned a call away, time paused.
  virtual void calls_turned_away(long answers, unsigned long paused_ms) = 0;

 protected:
  ~ConversionReport() = default;
};

// A task folder the walk visited, as MAPI reaches it and its forms library is reached again
// after the walk.
struct VisitedFolder {
  std::string store_id;
  std::string entry_id;  // empty when the identifiers could not be read
  std::string path;      // only for a report
};

// What one run of the step keeps: its counts, its report (if any), Outlook's own way of writing
// a folder's form, bound once, the NameSpace that fetches the items a table names (none: every
// folder's items are walked), and the task folders visited.
struct ConversionRecord {
  ConversionTally tally;
  ConversionReport* report = nullptr;
  OutlookFormWriter outlook_form;
  DispatchPtr name_space;
  TableMembers table;
  std::vector<VisitedFolder> task_folders;
};

// What the step meets outside Outlook: the limits of its waits, and an Outlook that is open
// where COM cannot bind to it (at another integrity level).
struct StepEnvironment {
  CallLimits limits;
  // True while a top-level window of Outlook's main window class exists; none: never.
  bool (*outlook_window_exists)() = nullptr;
  // Asked, Outlook being open elsewhere: true to make the object again once the user has
  // closed it. None where nobody may be asked: the step then fails at once.
  bool (*ask_to_close_outlook)(const void* context) = nullptr;
  const void* context = nullptr;
};

// Opens COM, starts Outlook and walks the MAPI namespace. True when the walk ran to its end
// and every item of the add-in's class that was found became a standard task.
// needs_manual_form_step is written on every path: true when the user must still make the
// standard form the task folders' default by hand, which is when the walk did not run to its
// end, or a task folder's form could be reset neither through MAPI nor through Outlook (or
// not even probed, without either). Raises nothing.
bool convert_outlook_tasks(bool& needs_manual_form_step);
bool convert_outlook_tasks(bool& needs_manual_form_step, ConversionReport* report);
// On a thread of its own, COM opened there, watched from the calling thread: a call into Outlook
// (or its making) that has not come back within the environment's limit, or that Outlook still
// turns away when its retry limit has passed, ends the step as a walk that failed, and the
// thread is left with whatever it holds; from then on it asks Outlook and MAPI nothing, reports
// nothing and asks the user nothing.
bool convert_outlook_tasks(bool& needs_manual_form_step, ConversionReport* report,
                           const StepEnvironment& environment);
// The same on the calling thread, unwatched.
bool convert_outlook_tasks_on_this_thread(bool& needs_manual_form_step, ConversionReport* report,
                                          const StepEnvironment& environment);

// Depth-first, each folder before its subfolders. True when a visitor stopped the walk. A
// folder whose DefaultItemType cannot be read is skipped with its subtree; every other
// failure propagates.
bool walk_folders(DispatchPtr folders, const FolderVisitor& visitor, bool& needs_manual_form_step);

// The visitor: resets a task folder's default form where it is the add-in's (through MAPI,
// else through Outlook), then converts the folder's items of the add-in's class, found through
// Outlook's table of them where there is one, else by asking every item. Always true. An item
// that cannot be read, or whose class cannot, is skipped: nothing is known of it.
bool convert_task_folder(DispatchPtr folder, bool& needs_manual_form_step);
bool convert_task_folder(DispatchPtr folder, bool& needs_manual_form_step,
                         ConversionRecord& record);

enum class DefaultForm { other, addin, unknown };

// The class of the form that an item made in the folder gets; unknown when it cannot be
// read. The item is always discarded, and a failure to discard it raises.
DefaultForm probe_default_form(const DispatchPtr& folder);

// True when an item made in the folder gets the add-in's form.
bool default_form_is_addin(DispatchPtr folder);

}  // namespace outlook
