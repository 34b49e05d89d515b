#include "testbed/machine/elevation.h"

namespace testbed {

namespace {

bool elevation_type(HANDLE token, TOKEN_ELEVATION_TYPE& type) {
  DWORD size = 0;
  return GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) != FALSE &&
         size == sizeof type;
}

base::unique_handle primary_copy(HANDLE token) {
  base::unique_handle copy;
  if (!DuplicateTokenEx(token, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, nullptr,
                        SecurityImpersonation, TokenPrimary, copy.put()))
    copy.reset();
  return copy;
}

}  // namespace

std::string elevation_of(HANDLE process) {
  base::unique_handle token;
  if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) return "unknown";
  TOKEN_ELEVATION_TYPE type{};
  if (!elevation_type(token.get(), type)) return "unknown";
  switch (type) {
    case TokenElevationTypeFull:
      return "full";
    case TokenElevationTypeLimited:
      return "limited";
    case TokenElevationTypeDefault:
      return "default";
  }
  return "unknown";
}

base::unique_handle limited_primary_token() {
  base::unique_handle own;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, own.put())) return {};
  TOKEN_ELEVATION_TYPE type{};
  if (!elevation_type(own.get(), type)) return {};
  if (type == TokenElevationTypeLimited) return primary_copy(own.get());
  if (type != TokenElevationTypeFull) {
    SetLastError(ERROR_NO_TOKEN);
    return {};
  }
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  if (!GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof linked, &size)) return {};
  const base::unique_handle linked_token(linked.LinkedToken);
  if (!elevation_type(linked_token.get(), type)) return {};
  if (type != TokenElevationTypeLimited) {
    SetLastError(ERROR_NO_TOKEN);
    return {};
  }
  return primary_copy(linked_token.get());
}

bool create_process(Token token, const char* module, std::string& command_line,
                    BOOL inherit_handles, DWORD flags, const char* directory, STARTUPINFOA& startup,
                    PROCESS_INFORMATION& started) {
  if (token == Token::own) {
    return CreateProcessA(module, command_line.data(), nullptr, nullptr, inherit_handles, flags,
                          nullptr, directory, &startup, &started) != FALSE;
  }
  const base::unique_handle limited = limited_primary_token();
  if (!limited) return false;
  // Windows may refuse this token to a caller without SeAssignPrimaryTokenPrivilege
  // (ERROR_PRIVILEGE_NOT_HELD); Wine 8 takes it, and the child reports the limited level.
  return CreateProcessAsUserA(limited.get(), module, command_line.data(), nullptr, nullptr,
                              inherit_handles, flags, nullptr, directory, &startup,
                              &started) != FALSE;
}

}  // namespace testbed
