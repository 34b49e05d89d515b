#pragma once
// The lead bytes of a code page, as the platform tells them.

#include <windows.h>

#include "base/path_text.h"

namespace base {

LeadBytes lead_bytes_of(UINT code_page);

}  // namespace base
