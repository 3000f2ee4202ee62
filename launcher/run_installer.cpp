#include "launcher/run_installer.h"

#include <windows.h>

#include "launcher/installer_command.h"
#include "launcher/winsparkle_api.h"
#include "sys/debug_log.h"

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
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(command.program, command.commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    LogLineNumber(L"[tollbury] Cannot start the downloaded update (error ", GetLastError(), L")\n");
    return WinSparkleReturnError;
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return 1;
}
