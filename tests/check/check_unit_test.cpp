// The machine check's judgements that need no machine, Wine or not: a
// signature's verdict from what Windows hands back, who may read a key file
// from its access list alone, and which accounts are Windows' own.

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <vector>

#include <gtest/gtest.h>

#include "check/account.h"
#include "check/key_access.h"
#include "check/signature_verdict.h"

namespace {

using V = SignatureVerdict;

TEST(SignatureVerdictTable, TellsUnsignedUnreadableRevokedAndUnknownRevocationApart) {
  struct Row {
    const char* name;
    SignatureEvidence evidence;
    SignatureVerdict verdict;
    LONG code;
  } const rows[] = {
      {"verifies", {ERROR_SUCCESS, 0, false, 0}, V::Verified, 0},
      {"no signature", {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_NOSIGNATURE), false, 0}, V::Unsigned, 0},
      {"no signature, unknown form",
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN), false, 0},
       V::Unsigned,
       0},
      {"no signature, no provider",
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN), false, 0},
       V::Unsigned,
       0},
      {"file cannot be opened",
       {TRUST_E_NOSIGNATURE, ERROR_ACCESS_DENIED, false, 0},
       V::Unreadable,
       ERROR_ACCESS_DENIED},
      {"no last error", {TRUST_E_NOSIGNATURE, 0, false, 0}, V::Unreadable, TRUST_E_NOSIGNATURE},
      {"not a program file", {TRUST_E_SUBJECT_FORM_UNKNOWN, 0, false, 0}, V::Invalid, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"changed after signing", {TRUST_E_BAD_DIGEST, 0, false, 0}, V::Invalid, TRUST_E_BAD_DIGEST},
      {"revoked, from the cache", {CERT_E_REVOKED, 0, false, 0}, V::Revoked, CERT_E_REVOKED},
      {"offline, cache cannot tell",
       {CRYPT_E_REVOCATION_OFFLINE, 0, false, 0},
       V::RevocationUnknown,
       CRYPT_E_REVOCATION_OFFLINE},
      {"online check tells", {CERT_E_REVOCATION_FAILURE, 0, true, ERROR_SUCCESS}, V::Verified, 0},
      {"online check cannot tell",
       {CRYPT_E_NO_REVOCATION_CHECK, 0, true, CRYPT_E_REVOCATION_OFFLINE},
       V::RevocationUnknown,
       CRYPT_E_REVOCATION_OFFLINE},
      {"online check finds it revoked",
       {CRYPT_E_REVOCATION_OFFLINE, 0, true, CRYPT_E_REVOKED},
       V::Revoked,
       CRYPT_E_REVOKED},
      {"chain not built", {CERT_E_REVOCATION_FAILURE, 0, true, E_OUTOFMEMORY}, V::RevocationUnknown, E_OUTOFMEMORY},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LONG code = -1;
    EXPECT_EQ(JudgeSignature(row.evidence, code), row.verdict);
    EXPECT_EQ(code, row.code);
  }
}

constexpr AceKind A = AceKind::Allow;
constexpr AceKind D = AceKind::Deny;
constexpr unsigned long Full = FILE_ALL_ACCESS;
// Identities: 1 SYSTEM, 2 Administrators, 3 Everyone, 4 Users, 5 alice, 6 bob.
const AccessEntry System = {A, Full, TrusteeKind::System, 1};
const AccessEntry Admins = {A, Full, TrusteeKind::Administrators, 2};
const AccessEntry Alice = {A, Full, TrusteeKind::User, 5};

TEST(MachineCheckUnit, KeyFileReadersFromTheAccessList) {
  struct Row {
    const char* name;
    std::vector<AccessEntry> entries;
    std::vector<int> groups;  // index of the first entry naming each reader
    std::vector<int> users;
  };
  const Row rows[] = {
      {"as a start writes it", {System, Admins, Alice}, {}, {2}},
      {"empty list: nobody", {}, {}, {}},
      {"SYSTEM and Administrators alone", {System, Admins}, {}, {}},
      {"Everyone reads", {System, Alice, {A, GENERIC_READ, TrusteeKind::Everyone, 3}}, {2}, {1}},
      {"Users may only read attributes",
       {Alice, {A, FILE_READ_ATTRIBUTES | SYNCHRONIZE, TrusteeKind::Group, 4}},
       {},
       {0}},
      {"Users with GENERIC_ALL", {Alice, {A, GENERIC_ALL, TrusteeKind::Group, 4}}, {1}, {0}},
      {"Users may rewrite the list", {Alice, {A, WRITE_DAC, TrusteeKind::Group, 4}}, {1}, {0}},
      {"Users denied before allowed",
       {{D, FILE_READ_DATA | WRITE_DAC | WRITE_OWNER, TrusteeKind::Group, 4},
        Alice,
        {A, FILE_GENERIC_READ, TrusteeKind::Group, 4}},
       {},
       {1}},
      {"Users allowed before denied",
       {{A, FILE_GENERIC_READ, TrusteeKind::Group, 4}, Alice, {D, Full, TrusteeKind::Group, 4}},
       {0},
       {1}},
      {"Everyone denied first holds for bob",
       {{D, Full, TrusteeKind::Everyone, 3}, {A, Full, TrusteeKind::User, 6}},
       {},
       {}},
      {"Users denied does not hold for bob",
       {{D, Full, TrusteeKind::Group, 4}, Alice, {A, Full, TrusteeKind::User, 6}},
       {},
       {1, 2}},
      {"two users", {System, Alice, {A, FILE_READ_DATA, TrusteeKind::User, 6}}, {}, {1, 2}},
      {"the same user twice", {Alice, System, Alice}, {}, {0}},
      {"alice denied reading keeps WRITE_DAC", {{D, FILE_READ_DATA, TrusteeKind::User, 5}, Alice}, {}, {0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    AccessVerdict verdict;
    JudgeKeyFileAccess(row.entries.data(), static_cast<int>(row.entries.size()), verdict);
    EXPECT_EQ(std::vector<int>(verdict.groups, verdict.groups + verdict.groupCount), row.groups);
    EXPECT_EQ(std::vector<int>(verdict.users, verdict.users + verdict.userCount), row.users);
  }
}

TEST(MachineCheckUnit, ServiceAccountsFromTheirSid) {
  const struct {
    const wchar_t* sid;
    ServiceAccount account;
  } rows[] = {
      {L"S-1-5-18", ServiceAccount::LocalSystem},
      {L"s-1-5-19", ServiceAccount::LocalService},
      {L"S-1-5-20", ServiceAccount::NetworkService},
      {L"S-1-5-21-0-0-0-1000", ServiceAccount::None},
      {L"S-1-5-180", ServiceAccount::None},
      {L"S-1-5-32-544", ServiceAccount::None},
      {L"", ServiceAccount::None},
  };
  for (const auto& row : rows) EXPECT_EQ(ServiceAccountOf(row.sid), row.account) << row.sid;
}

}  // namespace
