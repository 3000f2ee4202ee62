#include "launcher/launch.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "sys/client_root.h"
#include "sys/debug_log.h"
#include "sys/event_log.h"

namespace {

constexpr wchar_t ClientFileName[] = L"rudavuvav.exe";

}  // namespace

int PassThroughRoom(const wchar_t* clientRoot, const wchar_t* newestName) {
  // "<root><version>\rudavuvav.exe" in quotes, then one space.
  const size_t clientPath = std::wcslen(clientRoot) + std::wcslen(newestName) + 1 + std::wcslen(ClientFileName);
  const size_t before = clientPath + 3;
  if (before >= static_cast<size_t>(CommandLineSize)) return 1;
  return CommandLineSize - static_cast<int>(before);
}

void LaunchClient(wchar_t (&launchDirectory)[PathSize], const wchar_t* newestName, const wchar_t* passThrough) {
  // A cut directory would name another folder: better not to start at all.
  if (launchDirectory[0] == L'\0' || !AppendToDirectory(launchDirectory, newestName)) {
    ReportNextLogLine(EventNoUsableClientDirectory, EVENTLOG_ERROR_TYPE);
    LogLine3(L"[tollbury] No usable client directory for version ", newestName, L", rudavuvav.exe not started\n");
    return;
  }
  LogText(L"[tollbury] Launching rudavuvav.exe\n");
  const INT_PTR result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", ClientFileName, passThrough, launchDirectory, SW_SHOWNORMAL));
  if (result <= 32) {
    wchar_t detail[64];
    _snwprintf(detail, 64, L"%lld, error %lu", static_cast<long long>(result), GetLastError());
    detail[63] = L'\0';
    ReportNextLogLine(EventClientNotStarted, EVENTLOG_ERROR_TYPE);
    LogLine3(L"[tollbury] Could not start rudavuvav.exe: ShellExecute result ", detail, L"\n");
  }
}
