#pragma once
// The checks on the certificate the key service showed, with the log lines
// that tell an administrator why nothing was sent.

#include <windows.h>
#include <winhttp.h>

#include "net/server_pins.h"

// Called once the headers are out: the body may follow (0) only when the key
// the server showed in this very handshake is one of the pins. Otherwise
// logs the key it showed, or that its certificate cannot be read, and
// returns PostJsonServerKeyMismatch.
int CheckServerKey(HINTERNET request, const ServerTrust& trust);

// Logs a send that failed in the handshake with validation on: a refused
// certificate is its likely cause, which the platform's code alone does not
// tell an administrator. Nothing for any other trust or error; `trust` may
// be null.
void NoteRefusedCertificate(const ServerTrust* trust, int error);
