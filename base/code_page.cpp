#include "base/code_page.h"

#include <cstring>

namespace base {

LeadBytes lead_bytes_of(UINT code_page) {
  LeadBytes table;
  for (unsigned byte = 0; byte < 256; ++byte)
    table.lead[byte] = IsDBCSLeadByteEx(code_page, static_cast<BYTE>(byte)) != FALSE;
  return table;
}

bool same_name(const char* a, const char* b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

bool starts_with_name(const char* text, const char* start) {
  const std::size_t length = std::strlen(start);
  return std::strlen(text) >= length &&
         CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, text, static_cast<int>(length), start,
                        static_cast<int>(length)) == CSTR_EQUAL;
}

const LeadBytes& ansi_lead_bytes() {
  static const LeadBytes table = lead_bytes_of(CP_ACP);
  return table;
}

}  // namespace base
