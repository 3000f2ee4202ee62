#pragma once
#include "net/server_pins.h"

// A session's opt-in trust in its key service as its settings gave it, with
// what the key provisioning says about them when it runs.
struct ServiceTrust {
  ServerTrust server;        // handed to every request
  bool verifyValueMistyped;  // "VerifyServerCertificate" is no REG_DWORD: verified all the same
};

// Logs, once each, a "VerifyServerCertificate" of another type and a pin list
// that is set but unusable; the latter is also reported to the event log.
void LogServiceTrustProblems(const ServiceTrust& trust);
