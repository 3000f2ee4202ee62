#include "check/signature_verdict.h"

#include <softpub.h>
#include <wintrust.h>

namespace {

bool Revoked(LONG status) { return status == CERT_E_REVOKED || status == CRYPT_E_REVOKED; }

// WinVerifyTrust says TRUST_E_NOSIGNATURE also when the file could not be
// read or its signature is malformed; the thread's last error tells which.
bool NoSignatureAtAll(DWORD lastError) {
  const LONG error = static_cast<LONG>(lastError);
  return error == TRUST_E_NOSIGNATURE || error == TRUST_E_SUBJECT_FORM_UNKNOWN || error == TRUST_E_PROVIDER_UNKNOWN;
}

}  // namespace

bool RevocationUnknown(LONG status) {
  return status == CERT_E_REVOCATION_FAILURE || status == CRYPT_E_REVOCATION_OFFLINE ||
         status == CRYPT_E_NO_REVOCATION_CHECK;
}

SignatureVerdict JudgeSignature(const SignatureEvidence& evidence, LONG& code) {
  code = 0;
  if (evidence.trust == ERROR_SUCCESS) return SignatureVerdict::Verified;
  if (evidence.trust == TRUST_E_NOSIGNATURE) {
    if (NoSignatureAtAll(evidence.lastError)) return SignatureVerdict::Unsigned;
    code = evidence.lastError != 0 ? static_cast<LONG>(evidence.lastError) : evidence.trust;
    return SignatureVerdict::Unreadable;
  }
  code = evidence.trust;
  if (Revoked(code)) return SignatureVerdict::Revoked;
  if (!RevocationUnknown(code)) return SignatureVerdict::Invalid;
  if (!evidence.chainChecked) return SignatureVerdict::RevocationUnknown;
  // The signature itself verified from the cache; the online check answers
  // only whether a certificate was revoked.
  if (evidence.chain == ERROR_SUCCESS) {
    code = 0;
    return SignatureVerdict::Verified;
  }
  code = evidence.chain;
  return Revoked(code) ? SignatureVerdict::Revoked : SignatureVerdict::RevocationUnknown;
}
