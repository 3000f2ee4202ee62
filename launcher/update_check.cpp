#include "launcher/update_check.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "launcher/process_state.h"
#include "launcher/winsparkle_api.h"
#include "sys/debug_log.h"
#include "sys/event_log.h"
#include "sys/handle_guard.h"
#include "sys/registry.h"

namespace {

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

int RunUpdateCheck(const wchar_t* sessionName, const SessionSettings& session, const wchar_t* newestName) {
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

  if (!session.keyOpened) {
    ReportNextLogLine(EventSessionMissing, EVENTLOG_ERROR_TYPE);
    LogLine3(L"[tollbury] Exiting because '", sessionName, L"' session does not exist in the registry.\n");
    CloseFinishedEvent();
    return ExitSessionMissing;
  }
  if (!FeedUrlIsUsable(session, sessionName)) {
    CloseFinishedEvent();
    return UpdateCheckGoOn;
  }

  WinSparkleApi winSparkle;
  if (!LoadWinSparkle(winSparkle)) {
    CloseFinishedEvent();
    return UpdateCheckGoOn;
  }
  CheckWithWinSparkle(winSparkle, session.feedUrl, newestName);
  CloseFinishedEvent();
  return UpdateCheckGoOn;
}
