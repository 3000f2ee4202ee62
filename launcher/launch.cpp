#include "launcher/launch.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "launcher/argument_quoting.h"
#include "launcher/versions.h"
#include "sys/client_root.h"
#include "sys/debug_log.h"
#include "sys/event_log.h"

namespace {

// ShellExecuteW is bound by INTERNET_MAX_URL_LENGTH, about 2,048 characters
// of the whole command line; CreateProcessW takes CommandLineSize.
constexpr int ShellExecuteCommandLineLimit = 2048;
// ERROR_ELEVATION_REQUIRED, which MinGW-w64's winerror.h lacks.
constexpr DWORD ElevationRequired = 740;

// Characters before the handed-on arguments: the quoted client path and a space.
int ClientPathPrefixLength(const wchar_t* directory) {
  return static_cast<int>(std::wcslen(directory) + 1 + std::wcslen(ClientExeName)) + 3;
}

// The client's whole path: a bare file name lets the shell look for it
// elsewhere (App Paths, PATH) when the version folder lacks it, and start
// whatever it finds there.
bool BuildClientPath(const wchar_t* launchDirectory, wchar_t (&clientPath)[PathSize]) {
  const int length = _snwprintf(clientPath, PathSize, L"%ls\\%ls", launchDirectory, ClientExeName);
  return length >= 0 && length < PathSize;
}

void StartWithShell(const wchar_t* launchDirectory, const wchar_t* clientPath, const wchar_t* passThrough) {
  const INT_PTR result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", clientPath, passThrough, launchDirectory, SW_SHOWNORMAL));
  if (result <= 32) {
    wchar_t detail[64];
    _snwprintf(detail, 64, L"%lld, error %lu", static_cast<long long>(result), GetLastError());
    detail[63] = L'\0';
    ReportNextLogLine(EventClientNotStarted, EVENTLOG_ERROR_TYPE);
    LogLine3(L"[tollbury] Could not start rudavuvav.exe: ShellExecute result ", detail, L"\n");
  }
}

// Returns 0 or the error of CreateProcessW.
DWORD StartWithCreateProcess(const wchar_t* launchDirectory, const wchar_t* clientPath, const wchar_t* passThrough) {
  static wchar_t commandLine[CommandLineSize];  // CreateProcessW may write to it
  const int lineLength = _snwprintf(commandLine, CommandLineSize, L"\"%ls\" %ls", clientPath, passThrough);
  if (lineLength < 0 || lineLength >= CommandLineSize) return ERROR_FILENAME_EXCED_RANGE;

  // As ShellExecuteW starts it: shown normally, in its own folder.
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(clientPath, commandLine, nullptr, nullptr, FALSE, 0, nullptr, launchDirectory, &startup,
                      &process)) {
    return GetLastError();
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

}  // namespace

int PassThroughRoom(const wchar_t* clientRoot, const wchar_t* newestName) {
  const size_t before = std::wcslen(clientRoot) + std::wcslen(newestName) + ClientPathPrefixLength(L"");
  if (before >= static_cast<size_t>(CommandLineSize)) return 1;
  return CommandLineSize - static_cast<int>(before);
}

bool FormClientPath(wchar_t (&launchDirectory)[PathSize], const wchar_t* newestName, wchar_t (&clientPath)[PathSize]) {
  return launchDirectory[0] != L'\0' && AppendToDirectory(launchDirectory, newestName) &&
         BuildClientPath(launchDirectory, clientPath);
}

void LaunchClient(wchar_t (&launchDirectory)[PathSize], const wchar_t* newestName,
                  wchar_t (&passThrough)[PassThroughSize]) {
  // A cut directory or path would name another folder: better not to start at all.
  wchar_t clientPath[PathSize];
  if (!FormClientPath(launchDirectory, newestName, clientPath)) {
    ReportNextLogLine(EventNoUsableClientDirectory, EVENTLOG_ERROR_TYPE);
    LogLine3(L"[tollbury] No usable client directory for version ", newestName, L", rudavuvav.exe not started\n");
    return;
  }
  LogText(L"[tollbury] Launching rudavuvav.exe\n");
  const int shellRoom = ShellExecuteCommandLineLimit - ClientPathPrefixLength(launchDirectory);
  if (static_cast<int>(std::wcslen(passThrough)) <= shellRoom) {
    StartWithShell(launchDirectory, clientPath, passThrough);
    return;
  }
  const DWORD error = StartWithCreateProcess(launchDirectory, clientPath, passThrough);
  if (error == 0) return;
  if (error != ElevationRequired) {
    ReportNextLogLine(EventClientNotStarted, EVENTLOG_ERROR_TYPE);
    LogLineNumber(L"[tollbury] Could not start rudavuvav.exe: CreateProcess error ", error, L"\n");
    return;
  }
  // Only the shell can ask the user for elevation.
  passThrough[WholeArgumentsLength(passThrough, shellRoom < 0 ? 0 : shellRoom)] = L'\0';
  LogText(L"[tollbury] Command line too long to hand on in full; the last arguments are dropped.\n");
  StartWithShell(launchDirectory, clientPath, passThrough);
}
