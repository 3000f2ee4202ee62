#pragma once
// The digest of a server's key as its pins (net/pin_list.h) name it, and a
// session's trust in its key service.

#include <windows.h>
#include <wincrypt.h>

#include "net/pin_list.h"

// SHA-256 of the certificate's DER-encoded SubjectPublicKeyInfo. Returns 0 or
// the Windows error of the step that failed.
int HashServerKey(const CERT_CONTEXT* certificate, unsigned char (&digest)[ServerKeyDigestSize]);

// A session's opt-in trust in its key service, beyond the TLS that every
// request uses. Without either setting a request goes out as it always has.
struct ServerTrust {
  const wchar_t* sessionName;  // named in the log lines
  bool verifyCertificate;      // validate chain and host name as Windows does
  bool pinned;                 // the server's key must match `pins` before the body goes out
  bool pinsMalformed;          // the pin list is unusable: nothing is sent at all
  ServerKeyPins pins;
  wchar_t pinProblem[PinProblemSize];  // what is wrong with a malformed list
};
