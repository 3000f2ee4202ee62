#include "launcher/launch.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

#include "sys/debug_log.h"

bool GetClientRootDirectory(wchar_t (&clientRoot)[PathSize]) {
  clientRoot[0] = L'\0';
  const HRESULT folder = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, clientRoot);
  if (FAILED(folder) || !PathAppendW(clientRoot, L"\\Verdanto\\RudAvuvav\\")) {
    clientRoot[0] = L'\0';
    return false;
  }
  // PathAppendW drops the trailing backslash on some systems.
  const size_t length = std::wcslen(clientRoot);
  if (length == 0 || clientRoot[length - 1] != L'\\') return AppendToDirectory(clientRoot, L"\\");
  return true;
}

bool AppendToDirectory(wchar_t (&directory)[PathSize], const wchar_t* name) {
  const size_t length = std::wcslen(directory);
  const size_t added = std::wcslen(name);
  if (length + added >= static_cast<size_t>(PathSize)) return false;
  std::wmemcpy(directory + length, name, added + 1);
  return true;
}

void LaunchClient(wchar_t (&launchDirectory)[PathSize], const wchar_t* newestName, const wchar_t* passThrough) {
  // A cut directory would name another folder: better not to start at all.
  if (launchDirectory[0] == L'\0' || !AppendToDirectory(launchDirectory, newestName)) {
    LogLine3(L"[tollbury] No usable client directory for version ", newestName, L", rudavuvav.exe not started\n");
    return;
  }
  LogText(L"[tollbury] Launching rudavuvav.exe\n");
  const INT_PTR result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", L"rudavuvav.exe", passThrough, launchDirectory, SW_SHOWNORMAL));
  if (result <= 32) {
    wchar_t detail[64];
    _snwprintf(detail, 64, L"%lld, error %lu", static_cast<long long>(result), GetLastError());
    detail[63] = L'\0';
    LogLine3(L"[tollbury] Could not start rudavuvav.exe: ShellExecute result ", detail, L"\n");
  }
}
