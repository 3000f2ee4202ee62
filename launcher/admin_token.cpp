#include "launcher/admin_token.h"

#include "sys/handle_guard.h"

namespace {

// CheckTokenMembership wants an impersonation token: the linked full token
// of a limited one, otherwise an identification copy of the token itself.
bool OpenTokenToTest(HANDLE token, HANDLE& tokenToTest) {
  TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevationType, &elevation, sizeof(elevation), &size)) return false;
  if (elevation == TokenElevationTypeLimited) {
    return GetTokenInformation(token, TokenLinkedToken, &tokenToTest, sizeof(tokenToTest), &size) != FALSE;
  }
  return DuplicateToken(token, SecurityIdentification, &tokenToTest) != FALSE;
}

}  // namespace

bool IsTokenAdministrator(HANDLE token) {
  ScopedKernelHandle tokenToTest;
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof(administrators);
  BOOL member = FALSE;
  if (!OpenTokenToTest(token, tokenToTest.handle) ||
      !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize) ||
      !CheckTokenMembership(tokenToTest.handle, administrators, &member)) {
    return false;
  }
  return member != FALSE;
}
