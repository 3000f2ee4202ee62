#pragma once
// Public-key pins of the key service: "sha256//<base64 of the SHA-256 of the
// certificate's SubjectPublicKeyInfo>", several separated by ";". A key pin
// survives a certificate renewal that keeps the key. Needs no Windows header.
#include "sys/wide_char.h"

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
bool ParseServerKeyPins(const WideChar* text, ServerKeyPins& pins, WideChar (&problem)[PinProblemSize]);

bool MatchesServerKeyPin(const ServerKeyPins& pins, const unsigned char (&digest)[ServerKeyDigestSize]);

// The digest in pin form, "sha256//...".
void FormatServerKeyPin(const unsigned char (&digest)[ServerKeyDigestSize], WideChar (&pin)[ServerKeyPinSize]);
