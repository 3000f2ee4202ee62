#pragma once
// The stand-in update framework (WinSparkle.dll from tools/winsparkle) as
// the tests drive it: the outcome and delay it answers a check with, and the
// calls it recorded beside itself in the install folder.

#include <windows.h>

#include <string>
#include <vector>

// Where the launcher tells the framework to keep its settings.
extern const wchar_t* const WinSparkleKey;  // SOFTWARE\Verdanto\Client\WinSparkle

// "no-update", "shutdown", "cancelled", "error", "silent" or "window-then-silent".
void SetStandInOutcome(const std::wstring& outcome);
void SetStandInDelay(DWORD milliseconds);

struct StandInEvent {
  DWORD processId;
  std::string text;
};
// Everything recorded so far, in order; empty when nothing called it.
std::vector<StandInEvent> StandInEvents();
std::vector<std::string> StandInTexts();
bool StandInRecordExists();
// Waits (bounded) until `text` has been recorded.
bool WaitForStandInEvent(const std::string& text, DWORD timeoutMs);

// What one update check records when the framework answers with
// `answerEvents`, for the feed host and version given.
std::vector<std::string> ExpectedStandInCalls(const std::string& host, const std::string& version,
                                              const std::vector<std::string>& answerEvents);
