#include "launcher/update_check.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "launcher/process_state.h"
#include "launcher/run_installer.h"
#include "launcher/winsparkle_api.h"
#include "sys/debug_log.h"
#include "sys/event_log.h"
#include "sys/handle_guard.h"
#include "sys/registry.h"

namespace {

// "https://" + host + "/client/appcast.xml" must fit the feed URL buffer.
constexpr int MaxHostNameBytes = 100;

// The framework calls these on a thread of its own while the main thread
// waits on the finished event.

int __cdecl CanShutdownCallback() { return 1; }

void __cdecl ShutdownCallback() {
  // Stored before SetEvent: the main thread reads it only after its wait.
  LaunchFlag = 0;
  LogText(L"[tollbury] ShutdownCallback(), signaled event\n");
  SetEvent(FinishedEvent);
}

void __cdecl NoUpdateAvailableCallback() {
  LogText(L"[tollbury] NoUpdateAvailableCallback(), signaled event\n");
  SetEvent(FinishedEvent);
}

void __cdecl CancelledUpdateCallback() {
  LogText(L"[tollbury] CancelledUpdateCallback(), signaled event\n");
  SetEvent(FinishedEvent);
}

void __cdecl ErrorCallback() {
  LogText(L"[tollbury] ErrorCallback(), signaled event\n");
  SetEvent(FinishedEvent);
}

void CloseFinishedEvent() {
  CloseHandle(FinishedEvent);
  FinishedEvent = nullptr;
}

// The event's name is taken by another start that is still checking: either
// we opened its event (sharing it would let whichever check ends first wake
// both), or it runs elevated and its event cannot be opened from here.
bool AnotherStartIsChecking(HANDLE event, DWORD createError) {
  if (event != nullptr) return createError == ERROR_ALREADY_EXISTS;
  return createError == ERROR_ACCESS_DENIED;
}

}  // namespace

bool ReadFeedUrl(HKEY sessionKey, const wchar_t* sessionName, char (&feedUrl)[FeedUrlSize]) {
  wchar_t* hostName = nullptr;
  if (FAILED(ReadRegistryString(sessionKey, L"HostName", &hostName)) || hostName[0] == L'\0') {
    std::free(hostName);
    LogLine3(L"[tollbury] No HostName for session '", sessionName, L"', skipping upgrade check\n");
    return false;
  }
  char hostUtf8[FeedUrlSize];
  const int needed = WideCharToMultiByte(CP_UTF8, 0, hostName, -1, nullptr, 0, nullptr, nullptr);
  const bool fits = needed > 0 && needed <= MaxHostNameBytes + 1 &&
                    WideCharToMultiByte(CP_UTF8, 0, hostName, -1, hostUtf8, FeedUrlSize, nullptr, nullptr) > 0;
  std::free(hostName);
  if (!fits) {
    LogLine3(L"[tollbury] HostName of session '", sessionName,
             L"' is longer than 100 bytes in UTF-8, skipping upgrade check\n");
    return false;
  }
  const int length = std::snprintf(feedUrl, FeedUrlSize, "https://%s/client/appcast.xml", hostUtf8);
  return length > 0 && length < FeedUrlSize;
}

namespace {

void CheckWithWinSparkle(const WinSparkleApi& winSparkle, const char* feedUrl, const wchar_t* newestName) {
  winSparkle.setAppcastUrl(feedUrl);
  winSparkle.setAppDetails(L"Verdanto", L"Verdanto Client", newestName);
  winSparkle.setRegistryPath("SOFTWARE\\Verdanto\\Client\\WinSparkle");
  winSparkle.setAutomaticCheckForUpdates(0);
  winSparkle.setCanShutdownCallback(CanShutdownCallback);
  winSparkle.setShutdownRequestCallback(ShutdownCallback);
  winSparkle.setDidNotFindUpdateCallback(NoUpdateAvailableCallback);
  winSparkle.setUpdateCancelledCallback(CancelledUpdateCallback);
  winSparkle.setErrorCallback(ErrorCallback);
  // Bound only for a build that carries the update key.
  if (winSparkle.setUserRunInstallerCallback != nullptr) winSparkle.setUserRunInstallerCallback(RunDownloadedInstaller);
  winSparkle.init();
  winSparkle.checkUpdateWithoutUi();

  // No time limit: while an update is offered, downloaded or installed the
  // framework's own windows have the user's attention for as long as needed.
  LogText(L"[tollbury] WinMain() waiting for signal\n");
  WaitForSingleObject(FinishedEvent, INFINITE);
  LogText(L"[tollbury] WinMain() got signal\n");

  // Cleanup first: once the framework's thread has stopped, no late callback
  // can reach the event's handle after it is closed.
  winSparkle.cleanup();
  // The module stays loaded: the process ends soon, and code of it may
  // still be on the way out of a thread it started.
}

}  // namespace

int RunUpdateCheck(const wchar_t* sessionName, const wchar_t* sessionKeyPath, const wchar_t* newestName) {
  LogText(L"[tollbury] User has Elevated privledges, checking for upgrade available\n");

  SetLastError(ERROR_SUCCESS);
  FinishedEvent = CreateEventW(nullptr, TRUE, FALSE, L"WinSparkleFinished");
  const DWORD createError = GetLastError();
  if (AnotherStartIsChecking(FinishedEvent, createError)) {
    if (FinishedEvent != nullptr) CloseFinishedEvent();
    LogText(L"[tollbury] Another start's update check is still running, skipping upgrade check\n");
    return UpdateCheckGoOn;
  }
  if (FinishedEvent == nullptr) {
    // Nothing is logged for this exit; the event is all an administrator gets.
    ReportFailureNumber(EventFinishedEventFailed, EVENTLOG_ERROR_TYPE,
                        L"Cannot create the event WinSparkleFinished (error ", createError, L"); exiting with code 1");
    return ExitEventFailed;
  }

  char feedUrl[FeedUrlSize];
  {
    ScopedRegKey sessionKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sessionKeyPath, 0, KEY_READ, &sessionKey.handle) != ERROR_SUCCESS) {
      sessionKey.handle = nullptr;
      ReportNextLogLine(EventSessionMissing, EVENTLOG_ERROR_TYPE);
      LogLine3(L"[tollbury] Exiting because '", sessionName, L"' session does not exist in the registry.\n");
      CloseFinishedEvent();
      return ExitSessionMissing;
    }
    if (!ReadFeedUrl(sessionKey.handle, sessionName, feedUrl)) {
      CloseFinishedEvent();
      return UpdateCheckGoOn;
    }
  }

  WinSparkleApi winSparkle;
  if (!LoadWinSparkle(winSparkle, nullptr, BuildCarriesUpdateKey())) {
    CloseFinishedEvent();
    return UpdateCheckGoOn;
  }
  CheckWithWinSparkle(winSparkle, feedUrl, newestName);
  CloseFinishedEvent();
  return UpdateCheckGoOn;
}
