#include "parts/elevation.h"

#include <sddl.h>

#include "base/unique_any.h"

namespace app {

bool is_elevated(const TokenFacts& token) {
  return token.type == TokenElevationTypeFull ||
         (token.type == TokenElevationTypeDefault && token.administrators);
}

Route route_for(const TokenFacts& token, Mode mode, ShellStanding shell) {
  if (token.system) return Route::both_here;
  if (is_elevated(token))
    return shell == ShellStanding::other_level ? Route::user_in_shell_session : Route::both_here;
  return mode == Mode::quiet ? Route::needs_administrator : Route::machine_elevated_copy;
}

std::string sid_text(PSID sid) {
  char* text = nullptr;
  if (sid == nullptr || ConvertSidToStringSidA(sid, &text) == FALSE) return {};
  const base::unique_local owned(text);
  return text;
}

std::string user_sid_text(HANDLE token) {
  char buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
  DWORD size = 0;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) == FALSE) return {};
  return sid_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

std::string own_user_sid_text() {
  base::unique_handle token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) == FALSE) return {};
  return user_sid_text(token.get());
}

SecurityFromText::SecurityFromText(const std::string& text) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1,
                                                           &descriptor, nullptr) == FALSE)
    return;
  descriptor_.reset(descriptor);
  attributes_ = {sizeof attributes_, descriptor, FALSE};
}

TokenFacts own_token_facts() {
  TokenFacts facts;
  base::unique_handle token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) == FALSE) return facts;
  DWORD size = 0;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  if (GetTokenInformation(token.get(), TokenElevationType, &type, sizeof type, &size) != FALSE)
    facts.type = type;
  char buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
  if (GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) != FALSE)
    facts.system = IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid,
                                  WinLocalSystemSid) != FALSE;
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof administrators;
  BOOL member = FALSE;
  if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sid_size) !=
          FALSE &&
      CheckTokenMembership(nullptr, administrators, &member) != FALSE)
    facts.administrators = member != FALSE;
  return facts;
}

}  // namespace app
