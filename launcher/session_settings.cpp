#include "launcher/session_settings.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "launcher/service_url.h"
#include "sys/debug_log.h"
#include "sys/handle_guard.h"
#include "sys/registry.h"

namespace {

bool IsSingleUser(HKEY sessionKey) {
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof(value);
  const LSTATUS status =
      RegQueryValueExW(sessionKey, L"SingleUser", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  return status == ERROR_SUCCESS && type == REG_DWORD && value != 0;
}

void ReadServiceUrl(HKEY sessionKey, const wchar_t* sessionName, wchar_t (&serviceUrl)[ServiceUrlSize]) {
  wchar_t* server = nullptr;
  if (FAILED(ReadRegistryString(sessionKey, L"Server", &server))) {
    LogLine3(L"[tollbury] Registry is missing the Server value for session '", sessionName,
             L"'; keys cannot be checked.\n");
    return;
  }
  if (!FormServiceUrl(server, serviceUrl)) {
    LogLine3(L"[tollbury] Server value for session '", sessionName,
             L"' is too long for a service URL; keys cannot be checked.\n");
  }
  std::free(server);
}

}  // namespace

void ReadUpgradeCheck(bool& updateCheck) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TollburyKeyPath, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
    LogText(L"[tollbury] Registry is missing Tollbury info.\n");
    return;
  }
  ScopedRegKey key(opened);
  wchar_t* text = nullptr;
  if (SUCCEEDED(ReadRegistryString(key.handle, L"UpgradeCheck", &text))) {
    updateCheck = std::wcscmp(text, L"1") == 0;
    std::free(text);
  }
}

void ReadSessionSettings(const wchar_t* sessionName, wchar_t (&sessionKeyPath)[SessionKeyPathSize],
                         bool& singleUser, wchar_t (&serviceUrl)[ServiceUrlSize]) {
  const int written = _snwprintf(sessionKeyPath, SessionKeyPathSize, L"%ls%ls", SessionsKeyPrefix, sessionName);
  HKEY opened = nullptr;
  if (written < 0 || written >= SessionKeyPathSize ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, sessionKeyPath, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
    if (written < 0 || written >= SessionKeyPathSize) sessionKeyPath[0] = L'\0';
    LogLine3(L"[tollbury] Registry is missing info for session '", sessionName, L"'.\n");
    return;
  }
  ScopedRegKey key(opened);
  singleUser = IsSingleUser(key.handle);
  if (singleUser) ReadServiceUrl(key.handle, sessionName, serviceUrl);
}
