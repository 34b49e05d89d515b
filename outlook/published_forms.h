#pragma once
// The add-in's own published form, removed once its tasks are converted: from the personal
// forms library of the profile's default store, the library of each task folder the walk
// visited, and the local forms cache. Through Extended MAPI where it offers a form manager,
// else through Outlook's own object model; never the organization's library, which is the
// Exchange administrator's and shared by every user.

#include "outlook/conversion.h"
#include "outlook/dispatch_ptr.h"

namespace outlook {

// Counts what it did in the record's tally and tells its report; sets needs_manual_form_step
// when the form may remain in the personal library or a visited folder's (a removal refused or
// not verified, or no way to ask). Raises nothing.
void remove_published_forms(const DispatchPtr& name_space, ConversionRecord& record,
                            bool& needs_manual_form_step);

}  // namespace outlook
