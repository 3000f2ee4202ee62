#pragma once
// The way to a session's key service and what it shows: the route a start
// takes, the certificate, the proxy's sign-in, and the validation of the key
// files with the very request a start sends.

#include "check/report.h"
#include "net/server_pins.h"
#include "sys/md5.h"

// The digests of a session's two key files, when both could be read.
struct KeyDigests {
  bool present;
  wchar_t key[Md5HexSize];
  wchar_t uploadKey[Md5HexSize];
};

// Offline, only the route is looked up. Without digests no body is sent:
// the request stops once the certificate has been read.
void CheckService(CheckReport& report, const wchar_t* area, SessionSummary& summary, const ServerTrust& trust,
                  const KeyDigests& digests, bool offline);
