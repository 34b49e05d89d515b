#pragma once
// The lead bytes of a code page, as the platform tells them.

#include <windows.h>

#include "app/path_text.h"

namespace app {

LeadBytes lead_bytes_of(UINT code_page);

}  // namespace app
