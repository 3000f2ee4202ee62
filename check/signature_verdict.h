#pragma once
// What WinVerifyTrust and a chain check tell about a program's signature,
// without the calls that produce them.

#include <windows.h>

// Unreadable: the file could not be opened, or its signature could not be
// parsed; Invalid: a signature that does not verify or is not trusted here.
enum class SignatureVerdict { Verified, Unsigned, RevocationUnknown, Revoked, Invalid, Unreadable };

struct SignatureEvidence {
  LONG trust;         // WinVerifyTrust's result, revocation read from the cache only
  DWORD lastError;    // GetLastError() read right after WinVerifyTrust
  bool chainChecked;  // the signer's chain was checked again with revocation fetched online
  LONG chain;         // that check's policy status
};

// True when the cache could not tell revocation: an online check may.
bool RevocationUnknown(LONG status);

// The verdict, and in `code` the status that explains it (0 when verified or unsigned).
SignatureVerdict JudgeSignature(const SignatureEvidence& evidence, LONG& code);
