#include "check/updates.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdio>

#include "check/program.h"
#include "check/timing.h"
#include "launcher/session_settings.h"
#include "launcher/update_check.h"
#include "launcher/update_gate.h"
#include "launcher/winsparkle_api.h"
#include "net/identity.h"
#include "net/post_json.h"
#include "net/proxy.h"
#include "sys/handle_guard.h"

namespace {

constexpr wchar_t Area[] = L"updates";
constexpr int MissingNamesSize = 512;

using WinHttpHandle = ScopedHandle<HINTERNET, BOOL, WinHttpCloseHandle>;

void ReportWinSparkle(CheckReport& report, const WinSparkleApi& api) {
  wchar_t path[PathSize];
  wchar_t version[FileVersionTextSize];
  if (GetModuleFileNameW(api.module, path, PathSize) == 0) path[0] = L'\0';
  ReadFileVersionText(path, version);
  AddFinding(report, FindingStatus::Ok, Area, L"WinSparkle.dll loads from %ls with all %d functions a start needs, "
             L"FileVersion \"%ls\"", path, WinSparkleFunctionCount, version);
}

// Matters only while UpgradeCheck asks for update checks.
void ReportWinSparkleFailure(CheckReport& report, const WinSparkleLoadFailure& failure, bool wanted) {
  const FindingStatus status = wanted ? FindingStatus::Warn : FindingStatus::Ok;
  const wchar_t* consequence = wanted ? L"starts skip the update check; reinstall the package"
                                      : L"not needed while UpgradeCheck is off";
  if (failure.missingCount == 0) {
    AddFinding(report, status, Area, L"WinSparkle.dll cannot be loaded from the program's folder (error %lu): %ls",
               failure.loadError, consequence);
    return;
  }
  wchar_t names[MissingNamesSize] = L"";
  int length = 0;
  for (int i = 0; i < failure.missingCount; ++i) {
    const int written = _snwprintf(names + length, MissingNamesSize - 1 - length, L"%ls%hs", i > 0 ? L", " : L"",
                                   failure.missing[i]);
    if (written < 0) break;
    length += written;
  }
  names[MissingNamesSize - 1] = L'\0';
  AddFinding(report, status, Area, L"WinSparkle.dll lacks %ls: %ls", names, consequence);
}

// The feed's status as a GET through the user's proxy gives it, or the
// error that prevented one; the certificate is validated as the update
// framework does.
int FetchFeedStatus(const wchar_t* url, DWORD& status, wchar_t (&proxy)[ProxyNameSize]) {
  wchar_t host[ServiceUrlPartSize];
  wchar_t path[ServiceUrlPartSize];
  proxy[0] = L'\0';
  const int cracked = CrackServiceUrl(url, host, path);
  if (cracked != 0) return cracked;
  FindUserProxy(host, path, proxy);
  WinHttpHandle session(proxy[0] ? WinHttpOpen(ClientUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy,
                                               WINHTTP_NO_PROXY_BYPASS, 0)
                                 : WinHttpOpen(ClientUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  WinHttpHandle connection(session.handle ? WinHttpConnect(session.handle, host, INTERNET_DEFAULT_HTTPS_PORT, 0)
                                          : nullptr);
  WinHttpHandle request(connection.handle ? WinHttpOpenRequest(connection.handle, L"GET", path, nullptr,
                                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                               WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH)
                                          : nullptr);
  DWORD size = sizeof(status);
  if (!request.handle ||
      !WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.handle, nullptr) ||
      !WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : ERROR_WINHTTP_INTERNAL_ERROR;
  }
  return 0;
}

void CheckFeedStatus(CheckReport& report, const wchar_t* area, const wchar_t* url) {
  DWORD status = 0;
  wchar_t proxy[ProxyNameSize];
  const Stopwatch watch = StartStopwatch();
  const int error = FetchFeedStatus(url, status, proxy);
  const long long ms = ElapsedMs(watch);
  const wchar_t* via = proxy[0] ? proxy : L"no proxy";
  if (error != 0) {
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed %ls cannot be fetched (error %d, through %ls, %lld ms): update checks end in an error "
               L"and the client starts without an update",
               url, error, via, ms);
  } else if (status != HTTP_STATUS_OK) {
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed %ls answers with status %lu (through %ls, %lld ms): update checks find no update",
               url, status, via, ms);
  } else {
    AddFinding(report, FindingStatus::Ok, area, L"the feed %ls answers with status 200 (through %ls, %lld ms)", url,
               via, ms);
  }
}

}  // namespace

bool CheckUpdates(CheckReport& report) {
  bool wanted = true;
  ReadUpgradeCheck(wanted);
  const bool administrator = IsUserAdministrator();
  const bool runs = wanted && administrator;
  if (!wanted)
    AddFinding(report, FindingStatus::Ok, Area, L"UpgradeCheck is not \"1\": starts run no update check");
  else
    AddFinding(report, FindingStatus::Ok, Area,
               administrator ? L"UpgradeCheck asks for update checks, and this user is an administrator: a start "
                               L"checks for an update unless given -no_upgrade"
                             : L"UpgradeCheck asks for update checks, but this user is no administrator: this "
                               L"user's starts run none");
  WinSparkleApi api;
  WinSparkleLoadFailure failure;
  if (LoadWinSparkle(api, &failure))
    ReportWinSparkle(report, api);
  else
    ReportWinSparkleFailure(report, failure, wanted);
  return runs;
}

void CheckSessionFeed(CheckReport& report, const wchar_t* area, HKEY sessionKey, const wchar_t* sessionName,
                      bool updateCheckRuns, bool offline) {
  char feedUrl[FeedUrlSize];
  if (!ReadFeedUrl(sessionKey, sessionName, feedUrl)) {
    AddFinding(report, updateCheckRuns ? FindingStatus::Warn : FindingStatus::Ok, area,
               updateCheckRuns ? L"no usable HostName (at most 100 bytes): starts skip the update check; set HostName"
                               : L"no usable HostName; no update check runs for this user");
    return;
  }
  wchar_t url[FeedUrlSize];
  if (MultiByteToWideChar(CP_UTF8, 0, feedUrl, -1, url, FeedUrlSize) == 0) url[0] = L'\0';
  if (!updateCheckRuns || offline) {
    AddFinding(report, FindingStatus::Ok, area, L"update feed %ls (not fetched: %ls)", url,
               offline ? L"offline" : L"no update check runs for this user");
    return;
  }
  CheckFeedStatus(report, area, url);
}
