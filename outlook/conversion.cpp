#include "outlook/conversion.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "mapi/folder_form.h"
#include "mapi/session.h"
#include "outlook/com_error.h"
#include "outlook/members.h"
#include "outlook/published_forms.h"
#include "outlook/variant.h"

namespace outlook {

namespace {

constexpr char standard_class[] = "IPM.Task";
constexpr char standard_form_name[] = "Task";
constexpr char addin_items_filter[] = "[MessageClass] = 'IPM.Task.Merivane'";
// In process, in a handler, or in Outlook's own process.
constexpr DWORD outlook_context =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;

// Exact and case-sensitive; an absent class matches nothing.
bool is_addin_class(const char* message_class) {
  return message_class != nullptr && std::strcmp(message_class, addin_class) == 0;
}

// A collection's answer taken through a query for IDispatch: an object that has none leaves
// the owner empty, any other failure of the query raises.
DispatchPtr queried(const DispatchPtr& answer) {
  DispatchPtr object;
  const HRESULT result = object.assign_query(answer.get());
  if (FAILED(result) && result != E_NOINTERFACE) raise_com_error(result);
  return object;
}

// COM, Outlook's Application and NameSpace, and the MAPI session of one run of the step. On
// every path they go in one order: the NameSpace, MAPI, Outlook, then COM.
class OutlookSession {
 public:
  OutlookSession() = default;
  OutlookSession(const OutlookSession&) = delete;
  OutlookSession& operator=(const OutlookSession&) = delete;
  ~OutlookSession() {
    name_space.reset();
    // A step given up leaves its MAPI session to the process: nothing of it may take effect.
    if (!step_given_up()) mapi::release_mapi_session();
    application.reset();
    if (com_open_) CoUninitialize();
  }

  // COM open already on this thread (S_FALSE) counts as a failure; that call is given back.
  HRESULT open_com() {
    const HRESULT opened = CoInitialize(nullptr);
    if (opened == S_FALSE) CoUninitialize();
    com_open_ = opened == S_OK;
    return opened;
  }

  DispatchPtr application;
  DispatchPtr name_space;

 private:
  bool com_open_ = false;
};

// The folder's path for a report; the path is asked of Outlook only when there is one.
std::string path_of(const DispatchPtr& folder) {
  try {
    const AutomationString path = folder_path(folder);
    return path.narrow() != nullptr ? path.narrow() : "";
  } catch (...) {
    return "?";
  }
}

enum class FormReset {
  not_needed,  // another form
  not_probed,  // neither MAPI nor Outlook could write it, so it was not even looked at
  by_mapi,
  by_outlook,
  left,  // the add-in's, or one that could not be told, and not reset
};

// A folder whose identifiers could not be read cannot be named to MAPI.
bool written_through_mapi(const VisitedFolder& folder) {
  return !folder.entry_id.empty() &&
         mapi::set_folder_default_form(folder.store_id.c_str(), folder.entry_id.c_str(),
                                       standard_class, standard_form_name);
}

// Where the walk stopped, for a report: the folder whose call raised.
struct WalkStop {
  bool noted = false;
  std::string folder;  // its path; empty for the stores' own list
};

void note_stop(WalkStop* stop, const DispatchPtr* folder) {
  if (stop == nullptr || stop->noted) return;  // the innermost walk has told already
  stop->noted = true;
  stop->folder = folder != nullptr ? path_of(*folder) : "";
}

// walk_folders, noting in stop (when given) where a failure came from: parent for the
// collection's own calls, the folder for the calls made on it.
bool walk(DispatchPtr folders, const DispatchPtr* parent, const FolderVisitor& visitor,
          bool& needs_manual_form_step, WalkStop* stop) {
  LONG count = 0;
  try {
    count = folders_count(folders);
  } catch (...) {
    note_stop(stop, parent);
    throw;
  }
  for (LONG index = 1; index <= count; ++index) {
    DispatchPtr folder;
    try {
      {
        Variant position;
        make_variant(position, index, VT_I4);
        folder = folders_item(folders, position.get());
        position.clear();
      }
      try {
        folder_default_item_type(folder);
      } catch (const _com_error&) {
        continue;  // unreadable: skipped with its subfolders
      }
      if (!visitor(folder, needs_manual_form_step)) return true;
      if (walk(folder_folders(folder), &folder, visitor, needs_manual_form_step, stop)) return true;
    } catch (...) {
      note_stop(stop, folder ? &folder : parent);
      throw;
    }
  }
  return false;
}

// Through MAPI where there is a session, else (or where its write fails) through Outlook.
FormReset reset_default_form(const DispatchPtr& folder, const VisitedFolder& visited,
                             OutlookFormWriter& outlook_form) {
  if (step_given_up()) return FormReset::left;
  const bool mapi = mapi::get_mapi_session() != nullptr;
  try {
    // Bound before the first probe: without either way the probe would serve nothing.
    if (!mapi && !outlook_form.available(folder)) return FormReset::not_probed;
    const DefaultForm form = probe_default_form(folder);
    if (form == DefaultForm::unknown) return FormReset::left;
    if (form != DefaultForm::addin) return FormReset::not_needed;
  } catch (...) {
    return FormReset::left;  // the probe item could not be discarded
  }
  if (mapi && !step_given_up() && written_through_mapi(visited)) return FormReset::by_mapi;
  if (outlook_form.write(folder, standard_class, standard_form_name)) return FormReset::by_outlook;
  return FormReset::left;
}

// The task folder as MAPI and its forms library are reached by it; without its identifiers
// (they could not be read) neither can be.
const VisitedFolder& note_task_folder(const DispatchPtr& folder, ConversionRecord& record) {
  VisitedFolder visited;
  if (record.report != nullptr) visited.path = path_of(folder);
  try {
    const AutomationString entry_id = folder_entry_id(folder);
    const AutomationString store_id = folder_store_id(folder);
    if (entry_id.narrow() != nullptr && store_id.narrow() != nullptr) {
      visited.entry_id = entry_id.narrow();
      visited.store_id = store_id.narrow();
    }
  } catch (const _com_error&) {
  }
  record.task_folders.push_back(std::move(visited));
  return record.task_folders.back();
}

// The item fetched when it is one of the add-in's; none when it is another class, or when it or
// its class cannot be read (unread is then set).
template <typename Fetch>
DispatchPtr addin_item(const Fetch& fetch, bool& unread) {
  try {
    DispatchPtr item = queried(fetch());
    if (is_addin_class(item_message_class(item).narrow())) return item;
  } catch (...) {
    unread = true;
  }
  return {};
}

DispatchPtr addin_item_at(const DispatchPtr& items, LONG index, bool& unread) {
  return addin_item(
      [&] {
        Variant position;
        make_variant(position, index, VT_I4);
        DispatchPtr item = items_item(items, position.get());
        position.clear();
        return item;
      },
      unread);
}

// What Outlook's table of a folder's items of the add-in's class names: each item's EntryID and
// the store's.
struct AddinRows {
  std::vector<AutomationString> entry_ids;
  AutomationString store_id;
};

// The table's rows, every one read before anything is changed: the table follows the folder's
// items, and an item given another class leaves it at once. Nothing where Outlook has no such
// table (older than 2007), or where reading it fails: as nothing has changed yet, the folder's
// items can still be walked instead.
std::optional<AddinRows> addin_rows(const DispatchPtr& folder, const VisitedFolder& visited,
                                    ConversionRecord& record) {
  // An item is fetched by its EntryID in its folder's store.
  if (!record.name_space || visited.store_id.empty()) return std::nullopt;
  try {
    return AddinRows{record.table.entry_ids(folder, addin_items_filter, user_items),
                     AutomationString(visited.store_id.c_str())};
  } catch (...) {
    return std::nullopt;
  }
}

// How many items of the add-in's class Outlook says the folder still holds; -1 when it cannot
// tell.
long addin_items_left(const DispatchPtr& items) {
  try {
    return items_count(items_restrict(items, AutomationString(addin_items_filter)));
  } catch (...) {
    return -1;
  }
}

// The application object, made again for as long as the user, told that Outlook is open
// where COM cannot bind to it, closes it and asks to.
HRESULT make_application(DispatchPtr& application, const StepEnvironment& environment,
                         ConversionReport* report) {
  for (;;) {
    const HRESULT made = application.create_instance(
        outlook_application_class, nullptr, outlook_context, environment.outlook_window_exists);
    if (made != CO_E_SERVER_EXEC_FAILURE || environment.outlook_window_exists == nullptr ||
        !environment.outlook_window_exists())
      return made;
    bool retry = false;
    CallWatch* const watch = installed_call_watch();
    if (environment.ask_to_close_outlook != nullptr) {
      // No limit runs while the user reads the question; a making that comes back after the
      // step was given up asks nobody anything.
      if (watch != nullptr && !watch->suspend()) return made;
      retry = environment.ask_to_close_outlook(environment.context);
      if (watch != nullptr) watch->resume();
    }
    if (!retry) {
      if (report != nullptr)
        report->outlook_open_elsewhere(environment.ask_to_close_outlook != nullptr);
      return made;
    }
  }
}

// Gives one of the add-in's items the standard class: S_OK, or the failure that left it
// with its own.
HRESULT convert_item(const DispatchPtr& item) {
  try {
    set_item_message_class(item, AutomationString(standard_class));
    item_save(item);
    return S_OK;
  } catch (const _com_error& failure) {
    return failure.Error();
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

bool convert_outlook_tasks(bool& needs_manual_form_step) {
  return convert_outlook_tasks(needs_manual_form_step, nullptr);
}

bool convert_outlook_tasks(bool& needs_manual_form_step, ConversionReport* report) {
  return convert_outlook_tasks(needs_manual_form_step, report, StepEnvironment{});
}

bool convert_outlook_tasks_on_this_thread(bool& needs_manual_form_step, ConversionReport* report,
                                          const StepEnvironment& environment) {
  needs_manual_form_step = true;
  OutlookSession session;
  const HRESULT opened = session.open_com();
  if (opened != S_OK) {
    if (report != nullptr) report->outlook_failed("com", opened);
    return false;
  }
  const HRESULT created = make_application(session.application, environment, report);
  if (created != S_OK) {
    if (report != nullptr) report->outlook_failed("application", created);
    return false;
  }
  ConversionRecord record;
  record.report = report;
  bool result = false;
  bool walking = false;
  WalkStop stop;
  const auto stopped = [&](HRESULT code) {
    needs_manual_form_step = true;
    result = false;
    if (report == nullptr) return;
    if (walking)
      report->walk_stopped(stop.folder.c_str(), code);
    else
      report->outlook_failed("namespace", code);
  };
  try {
    session.name_space = get_namespace(session.application, AutomationString("MAPI"));
    record.name_space = session.name_space;
    walking = true;
    needs_manual_form_step = false;
    DispatchPtr stores = namespace_folders(session.name_space);
    if (report != nullptr) record.tally.stores = folders_count(stores);
    walk(
        std::move(stores), nullptr,
        [&record](DispatchPtr folder, bool& flag) {
          ++record.tally.folders;
          return convert_task_folder(std::move(folder), flag, record);
        },
        needs_manual_form_step, report != nullptr ? &stop : nullptr);
    // An item of the add-in's that keeps its class is something of the add-in left behind.
    result = record.tally.items_not_converted == 0 && record.tally.folders_unverified == 0;
    // Once the walk has converted what it could: an item left of the add-in's class opens with
    // the standard form without its own.
    remove_published_forms(session.name_space, record, needs_manual_form_step);
  } catch (const _com_error& failure) {
    stopped(failure.Error());
  } catch (...) {
    stopped(E_FAIL);  // not a call's failure: no HRESULT of its own
  }
  if (report != nullptr) {
    const mapi::MapiFailure mapi = mapi::mapi_failure();
    if (mapi.stage != nullptr) report->mapi_unavailable(mapi.stage, mapi.code);
    report->converted(record.tally);
  }
  return result;
}

bool walk_folders(DispatchPtr folders, const FolderVisitor& visitor, bool& needs_manual_form_step) {
  return walk(std::move(folders), nullptr, visitor, needs_manual_form_step, nullptr);
}

bool convert_task_folder(DispatchPtr folder, bool& needs_manual_form_step) {
  ConversionRecord record;
  return convert_task_folder(std::move(folder), needs_manual_form_step, record);
}

bool convert_task_folder(DispatchPtr folder, bool& needs_manual_form_step,
                         ConversionRecord& record) {
  if (folder_default_item_type(folder) != task_item_type) return true;
  ++record.tally.task_folders;
  const VisitedFolder visited = note_task_folder(folder, record);
  const DispatchPtr items = folder_items(folder);
  const std::optional<AddinRows> rows = addin_rows(folder, visited, record);
  const LONG count = rows ? 0 : items_count(items);
  if (record.report != nullptr)
    record.report->folder_read(visited.path.c_str(), rows ? "table" : "items");
  switch (const FormReset reset = reset_default_form(folder, visited, record.outlook_form)) {
    case FormReset::by_mapi:
    case FormReset::by_outlook:
      ++record.tally.forms_reset;
      if (record.report != nullptr)
        record.report->form_reset(visited.path.c_str(),
                                  reset == FormReset::by_mapi ? "mapi" : "outlook");
      break;
    case FormReset::left:
      ++record.tally.forms_left;
      if (record.report != nullptr) record.report->form_left(visited.path.c_str());
      needs_manual_form_step = true;
      break;
    case FormReset::not_probed:
      ++record.tally.forms_left;
      if (record.report != nullptr) record.report->form_not_writable(visited.path.c_str());
      needs_manual_form_step = true;
      break;
    case FormReset::not_needed:
      break;
  }
  bool unread = false;
  const auto convert = [&](const DispatchPtr& item) {
    if (!item) return;
    const HRESULT converted = convert_item(item);
    if (converted == S_OK) {
      ++record.tally.items_converted;
      return;
    }
    ++record.tally.items_not_converted;
    if (record.report != nullptr)
      record.report->item_not_converted(visited.path.c_str(), converted);
  };
  if (rows) {
    // Each item is let go before the next is fetched: a mailbox online lets a session hold only
    // so many open.
    for (const AutomationString& entry_id : rows->entry_ids) {
      convert(addin_item(
          [&] { return namespace_get_item_from_id(record.name_space, entry_id, rows->store_id); },
          unread));
    }
  } else {
    for (LONG index = 1; index <= count; ++index) convert(addin_item_at(items, index, unread));
  }
  // An item that could not be read may be one of the add-in's: Outlook is asked only then.
  if (unread) {
    const long left = addin_items_left(items);
    if (left != 0) {
      ++record.tally.folders_unverified;
      if (record.report != nullptr) record.report->folder_unverified(visited.path.c_str(), left);
    }
  }
  return true;
}

bool default_form_is_addin(DispatchPtr folder) {
  return probe_default_form(folder) == DefaultForm::addin;
}

DefaultForm probe_default_form(const DispatchPtr& folder) {
  DefaultForm answer = DefaultForm::unknown;
  bool made = false;
  DispatchPtr item;
  try {
    {
      const DispatchPtr items = folder_items(folder);
      item = queried(items_new_item(items, missing_argument()));
    }
    made = true;
    const DispatchPtr form = item_form_description(item);
    answer =
        is_addin_class(form_message_class(form).narrow()) ? DefaultForm::addin : DefaultForm::other;
  } catch (const _com_error&) {
    // The form could not be read: the answer stays unknown.
  }
  // Outside the guard: a probe item that cannot be discarded is a failure of the caller's.
  if (made) item_close(item, discard_changes);
  return answer;
}

}  // namespace outlook
