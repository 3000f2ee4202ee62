#include "launcher/session_settings.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "launcher/service_url.h"
#include "net/pin_list.h"
#include "sys/debug_log.h"
#include "sys/handle_guard.h"
#include "sys/registry.h"

namespace {

// "https://" + host + "/client/appcast.xml" must fit the feed URL buffer.
constexpr int MaxHostNameBytes = 100;
static_assert(MaxHostNameBytes + static_cast<int>(sizeof("https:///client/appcast.xml")) <= FeedUrlSize,
              "the longest host name leaves room for the rest of the feed URL");

void ReadServiceUrl(HKEY sessionKey, const wchar_t* sessionName, wchar_t (&serviceUrl)[ServiceUrlSize]) {
  wchar_t* server = nullptr;
  if (FAILED(ReadRegistryString(sessionKey, L"Server", &server))) {
    LogLine3(L"[tollbury] Registry is missing the Server value for session '", sessionName,
             L"'; keys cannot be checked.\n");
    return;
  }
  if (!FormServiceUrl(server, serviceUrl)) {
    LogLine3(L"[tollbury] Server value for session '", sessionName,
             L"' is too long for a service URL; keys cannot be checked.\n");
  }
  std::free(server);
}

// A value of another type than REG_DWORD still asks for verification: a
// mistyped security setting must not weaken the check.
void ReadVerifyServerCertificate(HKEY sessionKey, ServiceTrust& trust) {
  DWORD value = 0;
  const HRESULT read = ReadRegistryDword(sessionKey, L"VerifyServerCertificate", &value);
  if (read == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return;
  trust.verifyValueMistyped = FAILED(read);
  trust.server.verifyCertificate = FAILED(read) || value != 0;
}

// A value that is present in any form counts as set: only its absence means
// "no pins".
void ReadServerKeyPins(HKEY sessionKey, ServerTrust& trust) {
  wchar_t* text = nullptr;
  const HRESULT read = ReadRegistryString(sessionKey, L"ServerKeyPins", &text);
  if (read == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return;
  trust.pinned = true;
  wchar_t(&problem)[PinProblemSize] = trust.pinProblem;
  if (FAILED(read)) {
    _snwprintf(problem, PinProblemSize - 1,
               read == DISP_E_TYPEMISMATCH ? L"it is not a REG_SZ value" : L"it cannot be read (0x%08lX)",
               static_cast<unsigned long>(read));
    problem[PinProblemSize - 1] = L'\0';
    trust.pinsMalformed = true;
  } else {
    trust.pinsMalformed = !ParseServerKeyPins(text, trust.pins, problem);
    std::free(text);
  }
}

void ReadServiceTrust(HKEY sessionKey, ServiceTrust& trust) {
  ReadVerifyServerCertificate(sessionKey, trust);
  ReadServerKeyPins(sessionKey, trust.server);
}

FeedUrlReading FormFeedUrl(HKEY sessionKey, char (&feedUrl)[FeedUrlSize]) {
  feedUrl[0] = '\0';
  wchar_t* hostName = nullptr;
  if (FAILED(ReadRegistryString(sessionKey, L"HostName", &hostName)) || hostName[0] == L'\0') {
    std::free(hostName);
    return FeedUrlReading::NoHostName;
  }
  char hostUtf8[FeedUrlSize];
  const int needed = WideCharToMultiByte(CP_UTF8, 0, hostName, -1, nullptr, 0, nullptr, nullptr);
  const bool fits = needed > 0 && needed <= MaxHostNameBytes + 1 &&
                    WideCharToMultiByte(CP_UTF8, 0, hostName, -1, hostUtf8, FeedUrlSize, nullptr, nullptr) > 0;
  std::free(hostName);
  if (!fits) return FeedUrlReading::HostNameTooLong;
  std::snprintf(feedUrl, FeedUrlSize, "https://%s/client/appcast.xml", hostUtf8);
  return FeedUrlReading::Formed;
}

void ClearSessionSettings(const wchar_t* sessionName, SessionSettings& settings) {
  settings.keyPath[0] = L'\0';
  settings.keyOpened = false;
  settings.keyError = ERROR_FILENAME_EXCED_RANGE;
  settings.singleUser = false;
  settings.serviceUrl[0] = L'\0';
  settings.feed = FeedUrlReading::NoHostName;
  settings.feedUrl[0] = '\0';
  ServiceTrust& trust = settings.trust;
  trust.server.sessionName = sessionName;
  trust.server.verifyCertificate = false;
  trust.server.pinned = false;
  trust.server.pinsMalformed = false;
  trust.server.pins.count = 0;
  trust.server.pinProblem[0] = L'\0';
  trust.verifyValueMistyped = false;
}

// Server and the trust matter only to the key provisioning, which runs for a
// single-user session alone.
void ReadOpenSessionKey(HKEY sessionKey, const wchar_t* sessionName, SessionSettings& settings) {
  DWORD singleUser = 0;
  settings.singleUser = SUCCEEDED(ReadRegistryDword(sessionKey, L"SingleUser", &singleUser)) && singleUser != 0;
  if (settings.singleUser) {
    ReadServiceUrl(sessionKey, sessionName, settings.serviceUrl);
    ReadServiceTrust(sessionKey, settings.trust);
  }
  settings.feed = FormFeedUrl(sessionKey, settings.feedUrl);
}

}  // namespace

void ReadUpgradeCheck(bool& updateCheck) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TollburyKeyPath, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
    LogText(L"[tollbury] Registry is missing Tollbury info.\n");
    return;
  }
  ScopedRegKey key(opened);
  wchar_t* text = nullptr;
  if (SUCCEEDED(ReadRegistryString(key.handle, L"UpgradeCheck", &text))) {
    updateCheck = std::wcscmp(text, L"1") == 0;
    std::free(text);
  }
}

void ReadSessionSettings(const wchar_t* sessionName, SessionSettings& settings) {
  ClearSessionSettings(sessionName, settings);
  const int written = _snwprintf(settings.keyPath, SessionKeyPathSize, L"%ls%ls", SessionsKeyPrefix, sessionName);
  HKEY opened = nullptr;
  const bool fits = written >= 0 && written < SessionKeyPathSize;
  if (fits) settings.keyError = RegOpenKeyExW(HKEY_LOCAL_MACHINE, settings.keyPath, 0, KEY_READ, &opened);
  if (!fits || settings.keyError != ERROR_SUCCESS) {
    if (!fits) settings.keyPath[0] = L'\0';
    LogLine3(L"[tollbury] Registry is missing info for session '", sessionName, L"'.\n");
    return;
  }
  ScopedRegKey key(opened);
  settings.keyOpened = true;
  ReadOpenSessionKey(key.handle, sessionName, settings);
}

bool FeedUrlIsUsable(const SessionSettings& settings, const wchar_t* sessionName) {
  if (settings.feed == FeedUrlReading::NoHostName)
    LogLine3(L"[tollbury] No HostName for session '", sessionName, L"', skipping upgrade check\n");
  else if (settings.feed == FeedUrlReading::HostNameTooLong)
    LogLine3(L"[tollbury] HostName of session '", sessionName,
             L"' is longer than 100 bytes in UTF-8, skipping upgrade check\n");
  return settings.feed == FeedUrlReading::Formed;
}
