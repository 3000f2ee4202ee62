#include "net/proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <cwchar>

#include "net/identity.h"
#include "sys/handle_guard.h"

namespace {

constexpr size_t HostPartSize = 256;                    // as PostJson cracks it
constexpr size_t ScriptUrlSize = 8 + 2 * HostPartSize;  // "https://", host, path

using WinHttpHandle = ScopedHandle<HINTERNET, BOOL, WinHttpCloseHandle>;
// What WinHttpGetIEProxyConfigForCurrentUser and WinHttpGetProxyForUrl hand
// out is the caller's to free, on every path.
using GlobalBlock = ScopedHandle<HGLOBAL, HGLOBAL, GlobalFree>;

bool BuildScriptUrl(const wchar_t* host, const wchar_t* path, wchar_t (&url)[ScriptUrlSize]) {
  const int written = _snwprintf(url, ScriptUrlSize, L"https://%ls%ls", host, *path ? path : L"/");
  url[ScriptUrlSize - 1] = L'\0';
  return written > 0 && static_cast<size_t>(written) < ScriptUrlSize;
}

int LastErrorOr(int fallback) {
  const DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : fallback;
}

// Asks the proxy script, found by auto-detection or at `scriptUrl`, which
// proxy serves the URL. The platform fetches and runs the script in a session
// of its own.
int AskProxyScript(const wchar_t* host, const wchar_t* path, BOOL autoDetect, const wchar_t* scriptUrl,
                   wchar_t (&proxy)[ProxyNameSize]) {
  wchar_t url[ScriptUrlSize];
  if (!BuildScriptUrl(host, path, url)) return ERROR_BUFFER_OVERFLOW;
  WinHttpHandle session(
      WinHttpOpen(ClientUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session.handle) return LastErrorOr(ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR);

  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (autoDetect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (scriptUrl) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl;
  }
  // The platform keeps the script for the session only without logon; a
  // script server that asks who we are gets the user's logon on a second try.
  WINHTTP_PROXY_INFO answer = {};
  options.fAutoLogonIfChallenged = FALSE;
  BOOL asked = WinHttpGetProxyForUrl(session.handle, url, &options, &answer);
  if (!asked && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE) {
    options.fAutoLogonIfChallenged = TRUE;
    asked = WinHttpGetProxyForUrl(session.handle, url, &options, &answer);
  }
  if (!asked) return LastErrorOr(ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR);
  GlobalBlock proxyList(answer.lpszProxy);
  GlobalBlock bypassList(answer.lpszProxyBypass);
  if (answer.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !answer.lpszProxy) return 0;  // DIRECT
  if (answer.lpszProxyBypass && ProxyBypassesHost(answer.lpszProxyBypass, host)) return 0;
  PickHttpsProxy(answer.lpszProxy, proxy);
  return 0;
}

}  // namespace

int FindUserProxy(const wchar_t* host, const wchar_t* path, wchar_t (&proxy)[ProxyNameSize], ProxySource* source) {
  proxy[0] = L'\0';
  ProxySource unreported = ProxySource::NoneSet;
  ProxySource& from = source ? *source : unreported;
  from = ProxySource::NoneSet;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) {
    // No Internet settings for this user at all: nothing is configured.
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : LastErrorOr(ERROR_WINHTTP_INTERNAL_ERROR);
  }
  GlobalBlock scriptUrl(settings.lpszAutoConfigUrl);
  GlobalBlock proxyList(settings.lpszProxy);
  GlobalBlock bypassList(settings.lpszProxyBypass);

  // Windows never sends this machine's own addresses to a proxy unless told to.
  if (IsLoopbackHost(host) && !(settings.lpszProxyBypass && BypassListKeepsLoopback(settings.lpszProxyBypass))) {
    if (settings.fAutoDetect || settings.lpszAutoConfigUrl || settings.lpszProxy) from = ProxySource::LoopbackBypassed;
    return 0;
  }
  // As browsers do: automatic configuration first, the static proxy when it
  // yields nothing.
  int scriptResult = 0;
  if (settings.fAutoDetect || settings.lpszAutoConfigUrl) {
    scriptResult = AskProxyScript(host, path, settings.fAutoDetect, settings.lpszAutoConfigUrl, proxy);
    if (scriptResult == 0) {
      if (proxy[0] == L'\0')
        from = ProxySource::ScriptDirect;
      else
        from = settings.lpszAutoConfigUrl ? ProxySource::ProxyScript : ProxySource::AutoDetected;
      return 0;
    }
  }
  if (settings.lpszProxy) {
    if (settings.lpszProxyBypass && ProxyBypassesHost(settings.lpszProxyBypass, host))
      from = ProxySource::ListBypassed;
    else if (PickHttpsProxy(settings.lpszProxy, proxy))
      from = ProxySource::StaticProxy;
    return 0;
  }
  if (scriptResult != 0) from = ProxySource::ScriptDirect;
  // Auto-detection that finds no script is the common case of a network
  // without a proxy, not a failure.
  if (scriptResult == ERROR_WINHTTP_AUTODETECTION_FAILED && !settings.lpszAutoConfigUrl) return 0;
  return scriptResult;
}
