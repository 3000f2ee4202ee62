#include "net/proxy.h"

#include "net/identity.h"
#include "sys/handle_guard.h"

#include <windows.h>
#include <winhttp.h>

#include <cwchar>
#include <cwctype>

namespace {

constexpr size_t HostPartSize = 256;                      // as PostJson cracks it
constexpr size_t ScriptUrlSize = 8 + 2 * HostPartSize;    // "https://", host, path
const wchar_t ListSeparators[] = L"; \t\r\n,";
const wchar_t LocalToken[] = L"<local>";
const wchar_t KeepLoopbackToken[] = L"<-loopback>";

using WinHttpHandle = ScopedHandle<HINTERNET, BOOL, WinHttpCloseHandle>;
// What WinHttpGetIEProxyConfigForCurrentUser and WinHttpGetProxyForUrl hand
// out is the caller's to free, on every path.
using GlobalBlock = ScopedHandle<HGLOBAL, HGLOBAL, GlobalFree>;

struct Span {
  const wchar_t* text;
  size_t length;
};

bool IsSeparator(wchar_t c) { return c != L'\0' && std::wcschr(ListSeparators, c) != nullptr; }

// The next entry of a list, skipping empty ones; false at the end.
bool NextEntry(const wchar_t*& cursor, Span& entry) {
  while (IsSeparator(*cursor))
    ++cursor;
  if (*cursor == L'\0')
    return false;
  entry.text = cursor;
  while (*cursor != L'\0' && !IsSeparator(*cursor))
    ++cursor;
  entry.length = static_cast<size_t>(cursor - entry.text);
  return true;
}

bool SameLetter(wchar_t a, wchar_t b) { return std::towlower(a) == std::towlower(b); }

bool EqualsIgnoringCase(Span span, const wchar_t* text) {
  size_t i = 0;
  for (; i < span.length && text[i] != L'\0'; ++i)
    if (!SameLetter(span.text[i], text[i]))
      return false;
  return i == span.length && text[i] == L'\0';
}

bool StartsWithIgnoringCase(Span span, const wchar_t* prefix) {
  const size_t length = std::wcslen(prefix);
  return span.length >= length && EqualsIgnoringCase(Span{span.text, length}, prefix);
}

// Position of `c` in `span`, or span.length.
size_t Find(Span span, wchar_t c) {
  size_t i = 0;
  while (i < span.length && span.text[i] != c)
    ++i;
  return i;
}

// "*" matches any run of characters, also an empty one; letters match
// regardless of case.
bool MatchesWildcard(Span pattern, const wchar_t* text) {
  const size_t textLength = std::wcslen(text);
  size_t p = 0, t = 0;
  size_t star = pattern.length, resume = 0;
  while (t < textLength) {
    if (p < pattern.length && pattern.text[p] == L'*') {
      star = p++;
      resume = t;
    } else if (p < pattern.length && SameLetter(pattern.text[p], text[t])) {
      ++p;
      ++t;
    } else if (star < pattern.length) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.length && pattern.text[p] == L'*')
    ++p;
  return p == pattern.length;
}

// Drops a leading "scheme://".
Span WithoutScheme(Span entry) {
  for (size_t i = 0; i + 2 < entry.length; ++i)
    if (entry.text[i] == L':' && entry.text[i + 1] == L'/' && entry.text[i + 2] == L'/')
      return Span{entry.text + i + 3, entry.length - i - 3};
  return entry;
}

// Where the port of "host:port" or "[v6]:port" begins (at the colon), or
// span.length when none is written.
size_t PortColon(Span span) {
  size_t from = 0;
  if (span.length > 0 && span.text[0] == L'[')
    from = Find(span, L']');
  for (size_t i = span.length; i > from; --i)
    if (span.text[i - 1] == L':')
      return i - 1;
  return span.length;
}

bool IsHttpsPort(Span digits) { return digits.length == 3 && std::wcsncmp(digits.text, L"443", 3) == 0; }

bool EntryBypassesHost(Span entry, const wchar_t* host) {
  if (EqualsIgnoringCase(entry, LocalToken))
    return std::wcschr(host, L'.') == nullptr && std::wcschr(host, L':') == nullptr;
  Span pattern = WithoutScheme(entry);
  const size_t colon = PortColon(pattern);
  if (colon < pattern.length) {
    if (!IsHttpsPort(Span{pattern.text + colon + 1, pattern.length - colon - 1}))
      return false;
    pattern.length = colon;
  }
  return pattern.length > 0 && MatchesWildcard(pattern, host);
}

// Copies a proxy entry as "host:port" when it is a plain or http:// proxy.
bool CopyProxyName(Span entry, wchar_t (&proxy)[ProxyNameSize]) {
  if (StartsWithIgnoringCase(entry, L"http://"))
    entry = WithoutScheme(entry);
  else if (WithoutScheme(entry).text != entry.text)
    return false;  // a proxy spoken to in another protocol
  while (entry.length > 0 && entry.text[entry.length - 1] == L'/')
    --entry.length;
  const bool hasPort = PortColon(entry) < entry.length;
  const wchar_t* defaultPort = hasPort ? L"" : L":80";
  if (entry.length == 0 || entry.length + std::wcslen(defaultPort) >= ProxyNameSize)
    return false;
  std::wmemcpy(proxy, entry.text, entry.length);
  std::wcscpy(proxy + entry.length, defaultPort);
  return true;
}

// Whether any entry of a list matches `argument`.
bool AnyEntry(const wchar_t* list, bool (*matches)(Span, const wchar_t*), const wchar_t* argument) {
  const wchar_t* cursor = list;
  Span entry;
  while (NextEntry(cursor, entry))
    if (matches(entry, argument))
      return true;
  return false;
}

bool ListKeepsLoopback(const wchar_t* bypassList) {
  return AnyEntry(bypassList, EqualsIgnoringCase, KeepLoopbackToken);
}

// Dotted decimal with four parts, each at most 255, the first 127.
bool IsLoopbackIpv4(const wchar_t* host) {
  int parts = 0;
  for (const wchar_t* cursor = host;; ++cursor) {
    int value = 0, digits = 0;
    for (; *cursor >= L'0' && *cursor <= L'9' && digits < 4; ++cursor, ++digits)
      value = value * 10 + (*cursor - L'0');
    if (digits == 0 || digits > 3 || value > 255 || (parts == 0 && value != 127))
      return false;
    ++parts;
    if (*cursor == L'\0')
      return parts == 4;
    if (*cursor != L'.' || parts == 4)
      return false;
  }
}

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
  if (!BuildScriptUrl(host, path, url))
    return ERROR_BUFFER_OVERFLOW;
  WinHttpHandle session(WinHttpOpen(ClientUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session.handle)
    return LastErrorOr(ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR);

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
  if (!asked)
    return LastErrorOr(ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR);
  GlobalBlock proxyList(answer.lpszProxy);
  GlobalBlock bypassList(answer.lpszProxyBypass);
  if (answer.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !answer.lpszProxy)
    return 0;  // DIRECT
  if (answer.lpszProxyBypass && ProxyBypassesHost(answer.lpszProxyBypass, host))
    return 0;
  PickHttpsProxy(answer.lpszProxy, proxy);
  return 0;
}

}  // namespace

bool IsLoopbackHost(const wchar_t* host) {
  return _wcsicmp(host, L"localhost") == 0 || std::wcscmp(host, L"[::1]") == 0 ||
         std::wcscmp(host, L"::1") == 0 || IsLoopbackIpv4(host);
}

bool ProxyBypassesHost(const wchar_t* bypassList, const wchar_t* host) {
  return AnyEntry(bypassList, EntryBypassesHost, host);
}

bool PickHttpsProxy(const wchar_t* proxyList, wchar_t (&proxy)[ProxyNameSize]) {
  proxy[0] = L'\0';
  Span chosen = {nullptr, 0};
  const wchar_t* cursor = proxyList;
  Span entry;
  while (NextEntry(cursor, entry)) {
    const size_t equals = Find(entry, L'=');
    if (equals == entry.length) {
      if (!chosen.text)
        chosen = entry;
    } else if (EqualsIgnoringCase(Span{entry.text, equals}, L"https")) {
      chosen = Span{entry.text + equals + 1, entry.length - equals - 1};
      break;
    }
  }
  if (!chosen.text || !CopyProxyName(chosen, proxy)) {
    proxy[0] = L'\0';
    return false;
  }
  return true;
}

int FindUserProxy(const wchar_t* host, const wchar_t* path, wchar_t (&proxy)[ProxyNameSize]) {
  proxy[0] = L'\0';
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) {
    // No Internet settings for this user at all: nothing is configured.
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : LastErrorOr(ERROR_WINHTTP_INTERNAL_ERROR);
  }
  GlobalBlock scriptUrl(settings.lpszAutoConfigUrl);
  GlobalBlock proxyList(settings.lpszProxy);
  GlobalBlock bypassList(settings.lpszProxyBypass);

  // Windows never sends this machine's own addresses to a proxy unless told to.
  if (IsLoopbackHost(host) && !(settings.lpszProxyBypass && ListKeepsLoopback(settings.lpszProxyBypass)))
    return 0;
  // As browsers do: automatic configuration first, the static proxy when it
  // yields nothing.
  int scriptResult = 0;
  if (settings.fAutoDetect || settings.lpszAutoConfigUrl) {
    scriptResult = AskProxyScript(host, path, settings.fAutoDetect, settings.lpszAutoConfigUrl, proxy);
    if (scriptResult == 0)
      return 0;
  }
  if (settings.lpszProxy) {
    if (!settings.lpszProxyBypass || !ProxyBypassesHost(settings.lpszProxyBypass, host))
      PickHttpsProxy(settings.lpszProxy, proxy);
    return 0;
  }
  // Auto-detection that finds no script is the common case of a network
  // without a proxy, not a failure.
  if (scriptResult == ERROR_WINHTTP_AUTODETECTION_FAILED && !settings.lpszAutoConfigUrl)
    return 0;
  return scriptResult;
}
