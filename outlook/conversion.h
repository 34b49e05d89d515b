#pragma once
// The Outlook step: every task of the add-in's class in every task folder of every store
// becomes a standard task again, and task folders whose default form is the add-in's get the
// standard task form back.

#include <functional>

#include "outlook/dispatch_ptr.h"

namespace outlook {

// Called for every folder the walk can read, with a reference of its own. Returns false to
// stop the whole walk.
using FolderVisitor = std::function<bool(DispatchPtr folder, bool& needs_manual_form_step)>;

// What the step did to the add-in's items, counted as it goes.
struct ConversionTally {
  long items_converted = 0;
  long items_not_converted = 0;  // whose new class could not be written or saved
};

// Opens COM, starts Outlook and walks the MAPI namespace. True when the walk ran to its end
// and every item of the add-in's class that was found became a standard task.
// needs_manual_form_step is written on every path: true when the user must still make the
// standard form the task folders' default by hand. Raises nothing.
bool convert_outlook_tasks(bool& needs_manual_form_step);
bool convert_outlook_tasks(bool& needs_manual_form_step, ConversionTally& tally);

// Depth-first, each folder before its subfolders. True when a visitor stopped the walk. A
// folder whose DefaultItemType cannot be read is skipped with its subtree; every other
// failure propagates.
bool walk_folders(DispatchPtr folders, const FolderVisitor& visitor, bool& needs_manual_form_step);

// The visitor: resets a task folder's default form where it is the add-in's, then converts
// the folder's items of the add-in's class. Always true. An item that cannot be read, or whose
// class cannot, is skipped: nothing is known of it.
bool convert_task_folder(DispatchPtr folder, bool& needs_manual_form_step);
bool convert_task_folder(DispatchPtr folder, bool& needs_manual_form_step,
                         ConversionTally& tally);

enum class DefaultForm { other, addin, unknown };

// The class of the form that an item made in the folder gets; unknown when it cannot be
// read. The item is always discarded, and a failure to discard it raises.
DefaultForm probe_default_form(const DispatchPtr& folder);

// True when an item made in the folder gets the add-in's form.
bool default_form_is_addin(DispatchPtr folder);

}  // namespace outlook
