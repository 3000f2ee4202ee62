#pragma once
#include "net/server_pins.h"

// Reads the session's opt-in trust in its key service: "ServerKeyPins" and
// "VerifyServerCertificate" under its registry key. A pin list that is set
// but unusable is logged once and marks `trust` so that nothing is sent.
void ReadServiceTrust(const wchar_t* sessionName, ServerTrust& trust);
