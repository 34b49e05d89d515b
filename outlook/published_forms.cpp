#include "outlook/published_forms.h"

#include <string_view>

#include "mapi/form_library.h"
#include "outlook/call_watch.h"

namespace outlook {

namespace {

constexpr char addin_class[] = "IPM.Task.Merivane";

const char* result_word(mapi::FormResult result) {
  switch (result) {
    case mapi::FormResult::removed:
      return "removed";
    case mapi::FormResult::absent:
      return "absent";
    case mapi::FormResult::left:
      return "left";
    case mapi::FormResult::failed:
      break;
  }
  return "failed";
}

// One library's outcome, counted and told; true when the form may be left there.
bool tally(ConversionRecord& record, const char* library, const char* folder, const char* way,
           const mapi::FormOutcome& outcome) {
  if (record.report != nullptr)
    record.report->form_removal(library, folder, way, result_word(outcome.result),
                                static_cast<long>(outcome.code));
  if (outcome.result == mapi::FormResult::removed) ++record.tally.forms_removed;
  const bool left =
      outcome.result == mapi::FormResult::left || outcome.result == mapi::FormResult::failed;
  if (left) ++record.tally.published_forms_left;
  return left;
}

}  // namespace

void remove_published_forms(const DispatchPtr&, ConversionRecord& record,
                            bool& needs_manual_form_step) {
  // A profile without a task folder has had no task of the add-in's, nor its form in use.
  if (step_given_up() || record.task_folders.empty()) return;
  if (!mapi::form_manager_available()) {
    // No way to ask: the form may still be published.
    needs_manual_form_step = true;
    return;
  }
  bool found = false, may_remain = false;
  // The local cache is the platform's copy, made again from a library: a form left there alone
  // is no step of the user's.
  const auto asked = [&](const char* library, const char* folder,
                         const mapi::FormOutcome& outcome) {
    found = found || outcome.result != mapi::FormResult::absent;
    const bool left = tally(record, library, folder, "mapi", outcome);
    may_remain = may_remain || (left && std::string_view(library) != "local");
  };
  asked("personal", nullptr, mapi::remove_form(HFRMREG_PERSONAL, addin_class));
  for (const VisitedFolder& folder : record.task_folders) {
    if (step_given_up()) return;
    // A library that cannot be named may hold the form.
    if (folder.entry_id.empty()) {
      may_remain = true;
      continue;
    }
    asked("folder", folder.path.c_str(),
          mapi::remove_form(HFRMREG_FOLDER, addin_class, folder.store_id.c_str(),
                            folder.entry_id.c_str()));
  }
  if (step_given_up()) return;
  asked("local", nullptr, mapi::remove_form(HFRMREG_LOCAL, addin_class));
  if (!found && record.report != nullptr && mapi::holds_form(mapi::organization_forms, addin_class))
    record.report->form_in_organization();
  if (may_remain) needs_manual_form_step = true;
}

}  // namespace outlook
