#include "net/server_certificate.h"

#include "net/post_json.h"
#include "sys/debug_log.h"
#include "sys/event_log.h"

namespace {

int LastErrorOr(int fallback) {
  const DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : fallback;
}

void LogUnreadableCertificate(const wchar_t* sessionName, int error) {
  ReportNextLogLine(EventServerKeyMismatch, EVENTLOG_ERROR_TYPE);
  LogText(L"[tollbury] The key service's certificate for session '");
  LogText(sessionName);
  LogLineNumber(L"' cannot be read (error ", error, L"); nothing was sent.\n");
}

bool IsSecureChannelFailure(int result) {
  switch (result) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
      return true;
    default:
      return false;
  }
}

// With validation on, a refused certificate is the likely cause of a failed
// handshake; the platform's code alone does not tell an administrator that.
void LogRefusedCertificate(const ServerTrust& trust, int error) {
  ReportNextLogLine(EventCertificateRefused, EVENTLOG_ERROR_TYPE);
  LogText(L"[tollbury] The secure connection to the key service for session '");
  LogText(trust.sessionName ? trust.sessionName : L"");
  LogLineNumber(L"' failed with VerifyServerCertificate on (error ", error, L"); nothing was sent.\n");
}

}  // namespace

int CheckServerKey(HINTERNET request, const ServerTrust& trust) {
  const wchar_t* sessionName = trust.sessionName ? trust.sessionName : L"";
  const CERT_CONTEXT* certificate = nullptr;
  DWORD size = sizeof(certificate);
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) || certificate == nullptr) {
    LogUnreadableCertificate(sessionName, LastErrorOr(ERROR_INVALID_DATA));
    return PostJsonServerKeyMismatch;
  }
  unsigned char digest[ServerKeyDigestSize];
  const int hashed = HashServerKey(certificate, digest);
  CertFreeCertificateContext(certificate);
  if (hashed != 0) {
    LogUnreadableCertificate(sessionName, hashed);
    return PostJsonServerKeyMismatch;
  }
  if (MatchesServerKeyPin(trust.pins, digest)) return 0;
  wchar_t pin[ServerKeyPinSize];
  FormatServerKeyPin(digest, pin);
  ReportNextLogLine(EventServerKeyMismatch, EVENTLOG_ERROR_TYPE);
  LogText(L"[tollbury] The key service's certificate for session '");
  LogText(sessionName);
  LogLine3(L"' does not match ServerKeyPins; nothing was sent. It shows ", pin, L"\n");
  return PostJsonServerKeyMismatch;
}

void NoteRefusedCertificate(const ServerTrust* trust, int error) {
  if (trust && trust->verifyCertificate && IsSecureChannelFailure(error)) LogRefusedCertificate(*trust, error);
}
