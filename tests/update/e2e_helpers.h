#pragma once
// Shared by the end-to-end tests of the update gate and the update check.

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/machine.h"
#include "tests/support/winsparkle_control.h"

using Lines = std::vector<std::wstring>;

const wchar_t* const CheckingLine = L"[tollbury] User has Elevated privledges, checking for upgrade available";
const wchar_t* const WaitingLine = L"[tollbury] WinMain() waiting for signal";
const wchar_t* const GotSignalLine = L"[tollbury] WinMain() got signal";
const wchar_t* const NoUpdateLine = L"[tollbury] NoUpdateAvailableCallback(), signaled event";
const wchar_t* const SingleUserLine = L"[tollbury] Going into single user mode";
const wchar_t* const LaunchingLine = L"[tollbury] Launching rudavuvav.exe";

const wchar_t* const FeedHost = L"updates.verdanto.test";

// Everything but the discovery lines, whose order is the file system's.
inline Lines ProgramLines(const LauncherRun& run) {
  Lines lines;
  for (const std::wstring& line : run.lines) {
    if (line.rfind(L"[tollbury] Discovered directory: ", 0) != 0) lines.push_back(line);
  }
  return lines;
}

inline bool HasLine(const LauncherRun& run, const std::wstring& line) {
  return std::find(run.lines.begin(), run.lines.end(), line) != run.lines.end();
}

inline std::string Dump(const LauncherRun& run) {
  std::wstring all;
  for (const std::wstring& line : run.lines) all += line + L"\n";
  return WideToUtf8(all);
}

// The callback's line comes from the framework's thread: anywhere after the
// check began and before the main thread saw the signal. Returns the other
// lines, in order; an empty result when the callback line is misplaced.
inline Lines WithCallbackLineInPlace(const Lines& lines, const std::wstring& callbackLine) {
  const auto callback = std::find(lines.begin(), lines.end(), callbackLine);
  const auto checking = std::find(lines.begin(), lines.end(), CheckingLine);
  const auto gotSignal = std::find(lines.begin(), lines.end(), GotSignalLine);
  if (callback == lines.end() || checking == lines.end() || gotSignal == lines.end()) return Lines();
  if (!(checking < callback && callback < gotSignal)) return Lines();
  Lines others(lines.begin(), callback);
  others.insert(others.end(), callback + 1, lines.end());
  return others;
}

// The system clock in whole Unix seconds, read the test's own way.
inline long long UnixNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER units;
  units.LowPart = now.dwLowDateTime;
  units.HighPart = now.dwHighDateTime;
  return static_cast<long long>(units.QuadPart / 10000000ULL) - 11644473600LL;
}

// Returns just after a second has begun, so that a short run stays within it.
inline void WaitForFreshSecond() {
  const long long start = UnixNow();
  for (int i = 0; i < 300 && UnixNow() == start; ++i) Sleep(5);
}

inline long long LastCheckValue() {
  std::wstring text;
  if (!GetRegString(TollburyKey, L"LastCheck", text)) return -1;
  return _wtoi64(text.c_str());
}

inline std::wstring LastCheckText() {
  std::wstring text;
  if (!GetRegString(TollburyKey, L"LastCheck", text)) return L"(none)";
  return text;
}

// A machine that wants an update check, with a session "vrd" whose feed
// host is FeedHost, one installed version 2.4.1, and the stand-in beside
// the launcher.
inline void SetUpCheckingMachine() {
  PrepareInstall({L"WinSparkle.dll"});
  ClearRegistry();
  SetRegString(TollburyKey, L"UpgradeCheck", L"1");
  SetRegString(TollburyKey, L"LastCheck", L"0");
  SetRegString(SessionKey(L"vrd"), L"HostName", FeedHost);
  ResetClientRoot();
  AddVersionDir(L"2.4.1");
}

inline void MakeSingleUser() {
  SetRegDword(SessionKey(L"vrd"), L"SingleUser", 1);
  // Nothing listens there: key provisioning fails fast and the launch goes on.
  SetRegString(SessionKey(L"vrd"), L"Server", L"https://127.0.0.9/");
}
