#pragma once
// Public-key pins of the key service: "sha256//<base64 of the SHA-256 of the
// certificate's SubjectPublicKeyInfo>", several separated by ";". A key pin
// survives a certificate renewal that keeps the key.

#include <windows.h>
#include <wincrypt.h>

constexpr int ServerKeyDigestSize = 32;  // SHA-256
constexpr int MaxServerKeyPins = 16;
// "sha256//" and 44 base64 characters, plus the terminator.
constexpr int ServerKeyPinSize = 53;
// Room for a description of what is wrong with a pin list.
constexpr int PinProblemSize = 128;

struct ServerKeyPins {
  int count;
  unsigned char digests[MaxServerKeyPins][ServerKeyDigestSize];
};

// Reads a pin list. Spaces and tabs around a pin and empty entries are
// allowed; at least one pin must be given. Returns false, with `problem`
// saying what is wrong, for anything else.
bool ParseServerKeyPins(const wchar_t* text, ServerKeyPins& pins, wchar_t (&problem)[PinProblemSize]);

bool MatchesServerKeyPin(const ServerKeyPins& pins, const unsigned char (&digest)[ServerKeyDigestSize]);

// SHA-256 of the certificate's DER-encoded SubjectPublicKeyInfo. Returns 0 or
// the Windows error of the step that failed.
int HashServerKey(const CERT_CONTEXT* certificate, unsigned char (&digest)[ServerKeyDigestSize]);

// The digest in pin form, "sha256//...".
void FormatServerKeyPin(const unsigned char (&digest)[ServerKeyDigestSize], wchar_t (&pin)[ServerKeyPinSize]);

// A session's opt-in trust in its key service, beyond the TLS that every
// request uses. Without either setting a request goes out as it always has.
struct ServerTrust {
  const wchar_t* sessionName;  // named in the log lines
  bool verifyCertificate;      // validate chain and host name as Windows does
  bool pinned;                 // the server's key must match `pins` before the body goes out
  bool pinsMalformed;          // the pin list is unusable: nothing is sent at all
  ServerKeyPins pins;
};
