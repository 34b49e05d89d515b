#pragma once
// The Outlook step: every task of the add-in's class in every task folder of every store
// becomes a standard task again, and task folders whose default form is the add-in's get the
// standard task form back.

#include <functional>

#include "outlook/dispatch_ptr.h"
#include "outlook/form_writer.h"

namespace outlook {

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
};

// What the step did, told to whoever keeps a record (the log). Folders are named by their
// path as Outlook gives it. A step given no report makes no call for one.
class ConversionReport {
 public:
  virtual void item_not_converted(const char* folder, long code) = 0;
  virtual void form_reset(const char* folder, const char* by) = 0;
  virtual void form_left(const char* folder) = 0;
  // Once Outlook was reached, at the end of the step.
  virtual void converted(const ConversionTally& tally) = 0;
  // Why the step ended early: the stage that failed ("com", "application", "namespace") and
  // its HRESULT.
  virtual void outlook_failed(const char* /*stage*/, long /*code*/) {}
  // The walk was cut short: the folder whose call raised (empty: the stores' own list) and the
  // HRESULT it raised.
  virtual void walk_stopped(const char* /*folder*/, long /*code*/) {}
  // Extended MAPI could not be had: the stage ("detection", "load", "bind", "initialise",
  // "logon") and its code, an HRESULT (0 for detection).
  virtual void mapi_unavailable(const char* /*stage*/, long /*code*/) {}
  // A task folder's form was not even probed: neither MAPI nor Outlook could have written it.
  virtual void form_not_writable(const char* /*folder*/) {}

 protected:
  ~ConversionReport() = default;
};

// What one run of the step keeps: its counts, its report (if any), and Outlook's own way of
// writing a folder's form, bound once.
struct ConversionRecord {
  ConversionTally tally;
  ConversionReport* report = nullptr;
  OutlookFormWriter outlook_form;
};

// Opens COM, starts Outlook and walks the MAPI namespace. True when the walk ran to its end
// and every item of the add-in's class that was found became a standard task.
// needs_manual_form_step is written on every path: true when the user must still make the
// standard form the task folders' default by hand, which is when the walk did not run to its
// end, or a task folder's form could be reset neither through MAPI nor through Outlook (or
// not even probed, without either). Raises nothing.
bool convert_outlook_tasks(bool& needs_manual_form_step);
bool convert_outlook_tasks(bool& needs_manual_form_step, ConversionReport* report);

// Depth-first, each folder before its subfolders. True when a visitor stopped the walk. A
// folder whose DefaultItemType cannot be read is skipped with its subtree; every other
// failure propagates.
bool walk_folders(DispatchPtr folders, const FolderVisitor& visitor, bool& needs_manual_form_step);

// The visitor: resets a task folder's default form where it is the add-in's (through MAPI,
// else through Outlook), then converts the folder's items of the add-in's class. Always true. An
// item that cannot be read, or whose class cannot, is skipped: nothing is known of it.
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
