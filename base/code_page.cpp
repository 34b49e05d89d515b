#include "base/code_page.h"

namespace base {

LeadBytes lead_bytes_of(UINT code_page) {
  LeadBytes table;
  for (unsigned byte = 0; byte < 256; ++byte)
    table.lead[byte] = IsDBCSLeadByteEx(code_page, static_cast<BYTE>(byte)) != FALSE;
  return table;
}

const LeadBytes& ansi_lead_bytes() {
  static const LeadBytes table = lead_bytes_of(CP_ACP);
  return table;
}

}  // namespace base
