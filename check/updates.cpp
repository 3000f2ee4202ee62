#include "check/updates.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cwchar>

#include "check/feed.h"
#include "check/program.h"
#include "check/timing.h"
#include "launcher/session_settings.h"
#include "launcher/update_check.h"
#include "launcher/update_gate.h"
#include "launcher/versions.h"
#include "launcher/winsparkle_api.h"
#include "net/identity.h"
#include "net/post_json.h"
#include "net/proxy.h"
#include "sys/client_root.h"
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
  AddFinding(report, FindingStatus::Ok, Area,
             L"WinSparkle.dll loads from %ls with all %d functions a start needs, "
             L"FileVersion \"%ls\"",
             path, WinSparkleFunctionCount, version);
}

// Matters only while UpgradeCheck asks for update checks.
void ReportWinSparkleFailure(CheckReport& report, const WinSparkleLoadFailure& failure, bool wanted) {
  const FindingStatus status = wanted ? FindingStatus::Warn : FindingStatus::Ok;
  const wchar_t* consequence =
      wanted ? L"starts skip the update check; reinstall the package" : L"not needed while UpgradeCheck is off";
  if (failure.missingCount == 0) {
    AddFinding(report, status, Area, L"WinSparkle.dll cannot be loaded from the program's folder (error %lu): %ls",
               failure.loadError, consequence);
    return;
  }
  wchar_t names[MissingNamesSize] = L"";
  int length = 0;
  for (int i = 0; i < failure.missingCount; ++i) {
    const int written =
        _snwprintf(names + length, MissingNamesSize - 1 - length, L"%ls%hs", i > 0 ? L", " : L"", failure.missing[i]);
    if (written < 0) break;
    length += written;
  }
  names[MissingNamesSize - 1] = L'\0';
  AddFinding(report, status, Area, L"WinSparkle.dll lacks %ls: %ls", names, consequence);
}

// A feed longer than this is no feed a start should be handed.
constexpr DWORD FeedBodySize = 1024 * 1024;

struct FeedFetch {
  DWORD status;
  wchar_t proxy[ProxyNameSize];
  DWORD size;
  bool tooLong;
  char body[FeedBodySize];
};

FeedFetch fetched;  // 1 MB: kept off the stack

// The host, port and path (with any query) of the feed URL, as WinHTTP
// takes them; a HostName may name a port of its own.
int CrackFeedUrl(const wchar_t* url, wchar_t (&host)[ServiceUrlPartSize], INTERNET_PORT& port,
                 wchar_t (&path)[ServiceUrlPartSize]) {
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url, 0, 0, &parts)) return static_cast<int>(GetLastError());
  const DWORD pathLength = parts.dwUrlPathLength + parts.dwExtraInfoLength;
  if (parts.dwHostNameLength >= ServiceUrlPartSize || pathLength >= ServiceUrlPartSize) return ERROR_INVALID_DATA;
  if (parts.dwHostNameLength > 0) std::wmemcpy(host, parts.lpszHostName, parts.dwHostNameLength);
  host[parts.dwHostNameLength] = L'\0';
  // The query follows the path in the URL itself; either may be empty.
  const wchar_t* pathStart = parts.dwUrlPathLength > 0 ? parts.lpszUrlPath : parts.lpszExtraInfo;
  if (pathLength > 0 && pathStart != nullptr) std::wmemcpy(path, pathStart, pathLength);
  path[pathStart != nullptr ? pathLength : 0] = L'\0';
  port = parts.nPort;
  return 0;
}

int LastErrorOrInternal() {
  const DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : ERROR_WINHTTP_INTERNAL_ERROR;
}

// At most FeedBodySize bytes; more is marked, not read.
int ReadFeedBody(HINTERNET request, FeedFetch& fetch) {
  fetch.size = 0;
  fetch.tooLong = false;
  for (;;) {
    DWORD read = 0;
    if (fetch.size == FeedBodySize) {
      char probe = 0;
      if (!WinHttpReadData(request, &probe, 1, &read)) return LastErrorOrInternal();
      fetch.tooLong = read > 0;
      return 0;
    }
    if (!WinHttpReadData(request, fetch.body + fetch.size, FeedBodySize - fetch.size, &read))
      return LastErrorOrInternal();
    if (read == 0) return 0;
    fetch.size += read;
  }
}

// The feed as a GET through the user's proxy gives it, or the error that
// prevented one; the certificate is validated as the update framework does.
int FetchFeed(const wchar_t* url, FeedFetch& fetch) {
  wchar_t host[ServiceUrlPartSize];
  wchar_t path[ServiceUrlPartSize];
  INTERNET_PORT port = INTERNET_DEFAULT_HTTPS_PORT;
  fetch.proxy[0] = L'\0';
  fetch.status = 0;
  fetch.size = 0;
  const int cracked = CrackFeedUrl(url, host, port, path);
  if (cracked != 0) return cracked;
  FindUserProxy(host, path, fetch.proxy);
  WinHttpHandle session(fetch.proxy[0] ? WinHttpOpen(ClientUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, fetch.proxy,
                                                     WINHTTP_NO_PROXY_BYPASS, 0)
                                       : WinHttpOpen(ClientUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  WinHttpHandle connection(session.handle ? WinHttpConnect(session.handle, host, port, 0) : nullptr);
  WinHttpHandle request(connection.handle ? WinHttpOpenRequest(connection.handle, L"GET", path, nullptr,
                                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                               WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH)
                                          : nullptr);
  DWORD size = sizeof(fetch.status);
  if (!request.handle ||
      !WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.handle, nullptr) ||
      !WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &fetch.status, &size, WINHTTP_NO_HEADER_INDEX))
    return LastErrorOrInternal();
  return fetch.status == HTTP_STATUS_OK ? ReadFeedBody(request.handle, fetch) : 0;
}

// Whether tollbury.exe beside the check holds the key the update framework
// verifies downloads with.
bool ProgramCarriesUpdateKey() {
  wchar_t path[PathSize];
  if (!PathBesideProgram(L"tollbury.exe", path)) return false;
  const HMODULE program = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (program == nullptr) return false;
  const HRSRC key = FindResourceW(program, L"EdDSAPub", L"EDDSA");
  const bool carries = key != nullptr && SizeofResource(program, key) > 0;
  FreeLibrary(program);
  return carries;
}

// The version a start hands the framework as the installed one.
void InstalledClientVersion(wchar_t (&name)[VersionNameSize]) {
  std::wmemcpy(name, L"1.0.0", 6);
  wchar_t pattern[PathSize];
  VersionKey key = {{0.0, 0.0, 0.0}};
  if (GetClientRootDirectory(pattern) && AppendToDirectory(pattern, L"*")) FindNewestClientVersion(pattern, name, key);
}

void CheckFeed(CheckReport& report, const wchar_t* area, const wchar_t* url) {
  const Stopwatch watch = StartStopwatch();
  const int error = FetchFeed(url, fetched);
  const long long ms = ElapsedMs(watch);
  const wchar_t* via = fetched.proxy[0] ? fetched.proxy : L"no proxy";
  if (error != 0) {
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed %ls cannot be fetched (error %d, through %ls, %lld ms): update checks end in an error "
               L"and the client starts without an update",
               url, error, via, ms);
    return;
  }
  if (fetched.status != HTTP_STATUS_OK) {
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed %ls answers with status %lu (through %ls, %lld ms): update checks find no update", url,
               fetched.status, via, ms);
    return;
  }
  if (fetched.tooLong) {
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed %ls answers with status 200 (through %ls, %lld ms) but is longer than %lu bytes: not read",
               url, via, ms, FeedBodySize);
    return;
  }
  AddFinding(report, FindingStatus::Ok, area, L"the feed %ls answers with status 200 (through %ls, %lld ms)", url, via,
             ms);
  static FeedReading feed;
  ReadFeed(fetched.body, static_cast<int>(fetched.size), feed);
  wchar_t installed[VersionNameSize];
  InstalledClientVersion(installed);
  JudgeFeed(report, area, feed, installed, ProgramCarriesUpdateKey());
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

void CheckSessionFeed(CheckReport& report, const wchar_t* area, const SessionSettings& settings, bool updateCheckRuns,
                      bool offline) {
  if (settings.feed != FeedUrlReading::Formed) {
    AddFinding(report, updateCheckRuns ? FindingStatus::Warn : FindingStatus::Ok, area,
               updateCheckRuns ? L"no usable HostName (at most 100 bytes): starts skip the update check; set HostName"
                               : L"no usable HostName; no update check runs for this user");
    return;
  }
  wchar_t url[FeedUrlSize];
  if (MultiByteToWideChar(CP_UTF8, 0, settings.feedUrl, -1, url, FeedUrlSize) == 0) url[0] = L'\0';
  if (!updateCheckRuns || offline) {
    AddFinding(report, FindingStatus::Ok, area, L"update feed %ls (not fetched: %ls)", url,
               offline ? L"offline" : L"no update check runs for this user");
    return;
  }
  CheckFeed(report, area, url);
}
