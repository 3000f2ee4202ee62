// The machine check's judgements from what Windows hands back, Wine or not.

#include <gtest/gtest.h>
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

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
      {"no signature, unknown form", {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN), false, 0},
       V::Unsigned, 0},
      {"no signature, no provider", {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN), false, 0},
       V::Unsigned, 0},
      {"file cannot be opened", {TRUST_E_NOSIGNATURE, ERROR_ACCESS_DENIED, false, 0}, V::Unreadable, ERROR_ACCESS_DENIED},
      {"no last error", {TRUST_E_NOSIGNATURE, 0, false, 0}, V::Unreadable, TRUST_E_NOSIGNATURE},
      {"not a program file", {TRUST_E_SUBJECT_FORM_UNKNOWN, 0, false, 0}, V::Invalid, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"changed after signing", {TRUST_E_BAD_DIGEST, 0, false, 0}, V::Invalid, TRUST_E_BAD_DIGEST},
      {"revoked, from the cache", {CERT_E_REVOKED, 0, false, 0}, V::Revoked, CERT_E_REVOKED},
      {"offline, cache cannot tell", {CRYPT_E_REVOCATION_OFFLINE, 0, false, 0}, V::RevocationUnknown,
       CRYPT_E_REVOCATION_OFFLINE},
      {"online check tells", {CERT_E_REVOCATION_FAILURE, 0, true, ERROR_SUCCESS}, V::Verified, 0},
      {"online check cannot tell", {CRYPT_E_NO_REVOCATION_CHECK, 0, true, CRYPT_E_REVOCATION_OFFLINE},
       V::RevocationUnknown, CRYPT_E_REVOCATION_OFFLINE},
      {"online check finds it revoked", {CRYPT_E_REVOCATION_OFFLINE, 0, true, CRYPT_E_REVOKED}, V::Revoked,
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

}  // namespace
