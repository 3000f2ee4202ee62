// The Administrators test on real tokens. Wine makes every user an elevated
// administrator, so the tokens that are not members are built here with
// CreateRestrictedToken, which turns the Administrators group deny-only.

#include "launcher/admin_token.h"

#include <gtest/gtest.h>

#include "sys/handle_guard.h"

namespace {

struct AdministratorsSid {
  BYTE bytes[SECURITY_MAX_SID_SIZE];
  AdministratorsSid() {
    DWORD size = sizeof(bytes);
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, bytes, &size);
  }
};

bool OpenOwnToken(DWORD access, ScopedKernelHandle& token) {
  return OpenProcessToken(GetCurrentProcess(), access, &token.handle) != FALSE;
}

bool WithoutAdministrators(HANDLE token, ScopedKernelHandle& restricted) {
  AdministratorsSid administrators;
  SID_AND_ATTRIBUTES disabled = {administrators.bytes, 0};
  return CreateRestrictedToken(token, 0, 1, &disabled, 0, nullptr, 0, nullptr, &restricted.handle) != FALSE;
}

TOKEN_ELEVATION_TYPE ElevationOf(HANDLE token) {
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &size);
  return type;
}

bool MemberItself(HANDLE token) {
  AdministratorsSid administrators;
  ScopedKernelHandle copy;
  BOOL member = FALSE;
  return DuplicateToken(token, SecurityIdentification, &copy.handle) &&
         CheckTokenMembership(copy.handle, administrators.bytes, &member) && member;
}

class AdminToken : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenOwnToken(TOKEN_ALL_ACCESS, full));
    if (ElevationOf(full.handle) != TokenElevationTypeFull || !MemberItself(full.handle)) {
      GTEST_SKIP() << "needs an elevated administrator's process token, as Wine gives every process";
    }
  }
  ScopedKernelHandle full;
};

TEST_F(AdminToken, ElevatedProcessTokenIsAdministrator) {
  ScopedKernelHandle token;
  ASSERT_TRUE(OpenOwnToken(TOKEN_QUERY | TOKEN_DUPLICATE, token));
  EXPECT_TRUE(IsTokenAdministrator(token.handle));
}

TEST_F(AdminToken, TokenWithAdministratorsDenyOnlyIsNoAdministrator) {
  ScopedKernelHandle restricted;
  ASSERT_TRUE(WithoutAdministrators(full.handle, restricted));
  ASSERT_NE(TokenElevationTypeLimited, ElevationOf(restricted.handle));
  EXPECT_FALSE(IsTokenAdministrator(restricted.handle));
}

// A limited token that is no member itself, whose linked full token is: only
// testing the linked token gives true.
TEST_F(AdminToken, LimitedTokenIsJudgedByItsLinkedFullToken) {
  ScopedKernelHandle linked;
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(full.handle, TokenLinkedToken, &linked.handle, sizeof(linked.handle), &size));
  ScopedKernelHandle limited;
  ASSERT_TRUE(WithoutAdministrators(linked.handle, limited));
  if (ElevationOf(limited.handle) != TokenElevationTypeLimited) {
    GTEST_SKIP() << "this system gives no limited token whose linked token is the full one";
  }
  ASSERT_FALSE(MemberItself(limited.handle));
  EXPECT_TRUE(IsTokenAdministrator(limited.handle));
}

TEST_F(AdminToken, FailuresCountAsNoAdministrator) {
  ScopedKernelHandle queryOnly;  // DuplicateToken needs TOKEN_DUPLICATE
  ASSERT_TRUE(OpenOwnToken(TOKEN_QUERY, queryOnly));
  EXPECT_FALSE(IsTokenAdministrator(queryOnly.handle));
  ScopedKernelHandle duplicateOnly;  // GetTokenInformation needs TOKEN_QUERY
  ASSERT_TRUE(OpenOwnToken(TOKEN_DUPLICATE, duplicateOnly));
  EXPECT_FALSE(IsTokenAdministrator(duplicateOnly.handle));
  EXPECT_FALSE(IsTokenAdministrator(nullptr));
}

}  // namespace
