#include "launcher/update_check.h"

#include <windows.h>

#include "launcher/process_state.h"
#include "launcher/run_installer.h"
#include "launcher/update_wait.h"
#include "launcher/winsparkle_api.h"
#include "sys/debug_log.h"
#include "sys/event_log.h"

namespace {

// Between two looks at the framework's windows.
constexpr DWORD WaitSliceMs = 250;

// The framework calls these on a thread of its own while the main thread
// waits on the finished event, and may still call them after the main
// thread gave up waiting.

int __cdecl CanShutdownCallback() { return 1; }

void __cdecl ShutdownCallback() {
  // Taken before SetEvent, so the main thread finds it once its wait ends; a
  // start whose wait ended first has taken the verdict, and this changes nothing.
  TakeUpdateVerdict(UpdateVerdictShutdown);
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

BOOL CALLBACK NoteVisibleWindowOfThisProcess(HWND window, LPARAM found) {
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (processId != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
  *reinterpret_cast<bool*>(found) = true;
  return FALSE;
}

// The launcher has no window of its own: a visible top-level window of this
// process is the framework's.
bool FrameworkShowsAWindow() {
  bool found = false;
  EnumWindows(NoteVisibleWindowOfThisProcess, reinterpret_cast<LPARAM>(&found));
  return found;
}

// True once a callback has answered; false when the framework stays silent
// with no window too long (an unanswered request, or a path of the framework
// that ends without a callback).
bool WaitForVerdict() {
  UpdateWaitTimes times = {GetTickCount64(), false, 0};
  for (;;) {
    const bool signalled = WaitForSingleObject(FinishedEvent, WaitSliceMs) == WAIT_OBJECT_0;
    const bool windowNow = !signalled && FrameworkShowsAWindow();
    const UpdateWaitVerdict verdict = DecideUpdateWait(times, signalled, windowNow, GetTickCount64());
    if (verdict == UpdateWaitVerdict::Answered) return true;
    if (verdict == UpdateWaitVerdict::GiveUp) break;
  }
  if (TakeUpdateVerdict(UpdateVerdictGoOn) == UpdateVerdictGoOn) return false;
  // A shutdown request came meanwhile; its signal follows at once.
  WaitForSingleObject(FinishedEvent, INFINITE);
  return true;
}

// False when the start gave up waiting: the framework may still call back,
// so the finished event must stay open.
bool CheckWithWinSparkle(const WinSparkleApi& winSparkle, const char* feedUrl, const wchar_t* newestName) {
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

  LogText(L"[tollbury] WinMain() waiting for signal\n");
  if (!WaitForVerdict()) {
    ReportNextLogLine(EventUpdateCheckUnanswered, EVENTLOG_WARNING_TYPE);
    LogText(L"[tollbury] No answer from the update check, starting the client without it\n");
    // No cleanup: the framework's check may still be waiting on the network,
    // and a build whose cleanup waits for it would hold the start. The module
    // stays loaded for the callbacks that may still come.
    return false;
  }
  LogText(L"[tollbury] WinMain() got signal\n");
  // The launch flag is written on this thread alone, once: a shutdown request
  // that comes from now on finds the verdict taken.
  if (TakeUpdateVerdict(UpdateVerdictGoOn) == UpdateVerdictShutdown) LaunchFlag = 0;

  // A callback has answered: the check is over, and cleanup stops the
  // framework's window thread (not a check still waiting on the network).
  // The module stays loaded: the process ends soon, and code of it may still
  // be on the way out of a thread it started.
  winSparkle.cleanup();
  return true;
}

// Everything after the event exists. `eventInUse` turns true when the
// framework may still signal it after this returns.
int CheckWithFinishedEvent(DWORD createError, const wchar_t* sessionName, const SessionSettings& session,
                           const wchar_t* newestName, bool& eventInUse) {
  if (AnotherStartIsChecking(FinishedEvent, createError)) {
    LogText(L"[tollbury] Another start's update check is still running, skipping upgrade check\n");
    return UpdateCheckGoOn;
  }

  if (!session.keyOpened) {
    ReportNextLogLine(EventSessionMissing, EVENTLOG_ERROR_TYPE);
    LogLine3(L"[tollbury] Exiting because '", sessionName, L"' session does not exist in the registry.\n");
    return ExitSessionMissing;
  }
  if (!FeedUrlIsUsable(session, sessionName)) return UpdateCheckGoOn;

  WinSparkleApi winSparkle;
  if (!LoadWinSparkle(winSparkle, nullptr, BuildCarriesUpdateKey())) return UpdateCheckGoOn;
  eventInUse = !CheckWithWinSparkle(winSparkle, session.feedUrl, newestName);
  return UpdateCheckGoOn;
}

}  // namespace

int RunUpdateCheck(const wchar_t* sessionName, const SessionSettings& session, const wchar_t* newestName) {
  LogText(L"[tollbury] User has Elevated privledges, checking for upgrade available\n");

  SetLastError(ERROR_SUCCESS);
  FinishedEvent = CreateEventW(nullptr, TRUE, FALSE, L"WinSparkleFinished");
  const DWORD createError = GetLastError();
  if (FinishedEvent == nullptr && !AnotherStartIsChecking(FinishedEvent, createError)) {
    // Nothing is logged for this exit; the event is all an administrator gets.
    ReportFailureNumber(EventFinishedEventFailed, EVENTLOG_ERROR_TYPE,
                        L"Cannot create the event WinSparkleFinished (error ", createError, L"); exiting with code 1");
    return ExitEventFailed;
  }

  bool eventInUse = false;
  const int verdict = CheckWithFinishedEvent(createError, sessionName, session, newestName, eventInUse);
  // Left open while a late callback may still signal it; the process's end closes it.
  if (FinishedEvent != nullptr && !eventInUse) CloseFinishedEvent();
  return verdict;
}
