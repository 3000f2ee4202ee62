#include "keys/service_trust.h"

#include <windows.h>

#include "sys/debug_log.h"
#include "sys/event_log.h"

void LogServiceTrustProblems(const ServiceTrust& trust) {
  const wchar_t* sessionName = trust.server.sessionName;
  if (trust.verifyValueMistyped)
    LogLine3(L"[tollbury] VerifyServerCertificate for session '", sessionName,
             L"' is not a REG_DWORD value; the certificate is verified.\n");
  if (!trust.server.pinsMalformed) return;
  ReportNextLogLine(EventKeyPinsUnusable, EVENTLOG_ERROR_TYPE);
  LogText(L"[tollbury] ServerKeyPins for session '");
  LogText(sessionName);
  LogLine3(L"' is not a valid pin list: ", trust.server.pinProblem, L". Nothing is sent to the key service.\n");
}
