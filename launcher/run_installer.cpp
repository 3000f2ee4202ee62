#include "launcher/run_installer.h"

#include <windows.h>
#include <shellapi.h>

#include "launcher/installer_command.h"
#include "launcher/winsparkle_api.h"
#include "sys/debug_log.h"

namespace {

// ERROR_ELEVATION_REQUIRED, which MinGW-w64's winerror.h lacks.
constexpr DWORD ElevationRequired = 740;

// Returns 0 or the error of CreateProcessW, which may write to the command line.
DWORD StartInstaller(InstallerCommand& command) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(command.program, command.commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started))
    return GetLastError();
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return 0;
}

// An installer whose manifest asks for an administrator's full rights
// cannot be created from a user's filtered token; only the shell can ask
// for consent. An .exe has no arguments of ours to hand over.
DWORD StartInstallerThroughShell(const InstallerCommand& command) {
  SHELLEXECUTEINFOW shell = {};
  shell.cbSize = sizeof(shell);
  shell.fMask = SEE_MASK_NOASYNC;
  shell.lpVerb = L"open";
  shell.lpFile = command.program;
  shell.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&shell) ? 0 : GetLastError();
}

}  // namespace

bool BuildCarriesUpdateKey() { return FindResourceW(GetModuleHandleW(nullptr), L"EdDSAPub", L"EDDSA") != nullptr; }

int __cdecl RunDownloadedInstaller(const wchar_t* path) {
  if (path == nullptr) path = L"";
  // The system folder from Windows, never from PATH or the environment.
  wchar_t systemDirectory[MAX_PATH];
  const UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) systemDirectory[0] = L'\0';

  InstallerCommand command;
  FormInstallerCommand(path, systemDirectory, command);
  if (command.kind == InstallerKind::Refused) {
    LogLine3(L"[tollbury] Refusing to start the downloaded update '", path,
             L"': not an .msi or .exe, or its path is too long\n");
    return WinSparkleReturnError;
  }
  LogLine3(L"[tollbury] Starting the downloaded update: ", command.commandLine, L"\n");
  DWORD error = StartInstaller(command);
  if (error == ElevationRequired && command.kind == InstallerKind::Exe) error = StartInstallerThroughShell(command);
  if (error != 0) {
    LogLineNumber(L"[tollbury] Cannot start the downloaded update (error ", error, L")\n");
    return WinSparkleReturnError;
  }
  return 1;
}
