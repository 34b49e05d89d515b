#pragma once
// The platform's rules for texts: the lead bytes of a code page, and names compared as the
// file system compares them.

#include <windows.h>

#include "base/path_text.h"

namespace base {

LeadBytes lead_bytes_of(UINT code_page);

// Whether two names are the same without regard to case, or text starts with start so.
bool same_name(const char* a, const char* b);
bool starts_with_name(const char* text, const char* start);

}  // namespace base
