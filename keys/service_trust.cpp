#include "keys/service_trust.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "sys/debug_log.h"
#include "sys/event_log.h"
#include "sys/handle_guard.h"
#include "sys/limits.h"
#include "sys/registry.h"

namespace {

// A value of another type than REG_DWORD still asks for verification: a
// mistyped security setting must not weaken the check.
bool ReadVerifyServerCertificate(HKEY sessionKey, const wchar_t* sessionName) {
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof(value);
  const LSTATUS status = RegQueryValueExW(sessionKey, L"VerifyServerCertificate", nullptr, &type,
                                          reinterpret_cast<BYTE*>(&value), &size);
  if (status == ERROR_FILE_NOT_FOUND) return false;
  if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value)) return value != 0;
  LogLine3(L"[tollbury] VerifyServerCertificate for session '", sessionName,
           L"' is not a REG_DWORD value; the certificate is verified.\n");
  return true;
}

void LogUnusablePins(const wchar_t* sessionName, const wchar_t* problem) {
  ReportNextLogLine(EventKeyPinsUnusable, EVENTLOG_ERROR_TYPE);
  LogText(L"[tollbury] ServerKeyPins for session '");
  LogText(sessionName);
  LogLine3(L"' is not a valid pin list: ", problem, L". Nothing is sent to the key service.\n");
}

// A value that is present in any form counts as set: only its absence means
// "no pins".
void ReadServerKeyPins(HKEY sessionKey, const wchar_t* sessionName, ServerTrust& trust) {
  wchar_t* text = nullptr;
  const HRESULT read = ReadRegistryString(sessionKey, L"ServerKeyPins", &text);
  if (read == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return;
  trust.pinned = true;
  wchar_t(&problem)[PinProblemSize] = trust.pinProblem;
  if (FAILED(read)) {
    _snwprintf(problem, PinProblemSize - 1, read == DISP_E_TYPEMISMATCH ? L"it is not a REG_SZ value"
                                                                       : L"it cannot be read (0x%08lX)",
               static_cast<unsigned long>(read));
    problem[PinProblemSize - 1] = L'\0';
    trust.pinsMalformed = true;
  } else {
    trust.pinsMalformed = !ParseServerKeyPins(text, trust.pins, problem);
    std::free(text);
  }
  if (trust.pinsMalformed) LogUnusablePins(sessionName, problem);
}

}  // namespace

void ReadServiceTrust(const wchar_t* sessionName, ServerTrust& trust) {
  trust.sessionName = sessionName;
  trust.verifyCertificate = false;
  trust.pinned = false;
  trust.pinsMalformed = false;
  trust.pins.count = 0;
  trust.pinProblem[0] = L'\0';
  wchar_t keyPath[SessionKeyPathSize];
  const int written = _snwprintf(keyPath, SessionKeyPathSize, L"%ls%ls", SessionsKeyPrefix, sessionName);
  HKEY opened = nullptr;
  if (written < 0 || written >= SessionKeyPathSize ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &opened) != ERROR_SUCCESS)
    return;
  ScopedRegKey key(opened);
  trust.verifyCertificate = ReadVerifyServerCertificate(key.handle, sessionName);
  ReadServerKeyPins(key.handle, sessionName, trust);
}
