#include "net/proxy_lists.h"

#include <string>

namespace {

const char ListSeparators[] = "; \t\r\n,";

typedef std::char_traits<WideChar> Traits;

struct Span {
  const WideChar* text;
  size_t length;
};

bool IsSeparator(WideChar c) {
  for (const char* separator = ListSeparators; *separator != '\0'; ++separator)
    if (c == static_cast<unsigned char>(*separator)) return true;
  return false;
}

// The next entry of a list, skipping empty ones; false at the end.
bool NextEntry(const WideChar*& cursor, Span& entry) {
  while (IsSeparator(*cursor)) ++cursor;
  if (*cursor == '\0') return false;
  entry.text = cursor;
  while (*cursor != '\0' && !IsSeparator(*cursor)) ++cursor;
  entry.length = static_cast<size_t>(cursor - entry.text);
  return true;
}

// Letters fold as the C locale folds them: A to Z only.
WideChar AsciiLower(WideChar c) { return c >= 'A' && c <= 'Z' ? static_cast<WideChar>(c - 'A' + 'a') : c; }

bool SameLetter(WideChar a, WideChar b) { return AsciiLower(a) == AsciiLower(b); }

// Whether `span` is the ASCII `text`, regardless of case.
bool EqualsIgnoringCase(Span span, const char* text) {
  size_t i = 0;
  for (; i < span.length && text[i] != '\0'; ++i)
    if (!SameLetter(span.text[i], static_cast<unsigned char>(text[i]))) return false;
  return i == span.length && text[i] == '\0';
}

bool StartsWithIgnoringCase(Span span, const char* prefix) {
  size_t length = 0;
  while (prefix[length] != '\0') ++length;
  return span.length >= length && EqualsIgnoringCase(Span{span.text, length}, prefix);
}

bool Contains(const WideChar* text, WideChar c) { return Traits::find(text, Traits::length(text), c) != nullptr; }

// Position of `c` in `span`, or span.length.
size_t Find(Span span, WideChar c) {
  size_t i = 0;
  while (i < span.length && span.text[i] != c) ++i;
  return i;
}

// "*" matches any run of characters, also an empty one; letters match
// regardless of case.
bool MatchesWildcard(Span pattern, const WideChar* text) {
  const size_t textLength = Traits::length(text);
  size_t p = 0, t = 0;
  size_t star = pattern.length, resume = 0;
  while (t < textLength) {
    if (p < pattern.length && pattern.text[p] == '*') {
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
  while (p < pattern.length && pattern.text[p] == '*') ++p;
  return p == pattern.length;
}

// Drops a leading "scheme://".
Span WithoutScheme(Span entry) {
  for (size_t i = 0; i + 2 < entry.length; ++i)
    if (entry.text[i] == ':' && entry.text[i + 1] == '/' && entry.text[i + 2] == '/')
      return Span{entry.text + i + 3, entry.length - i - 3};
  return entry;
}

// Where the port of "host:port" or "[v6]:port" begins (at the colon), or
// span.length when none is written.
size_t PortColon(Span span) {
  size_t from = 0;
  if (span.length > 0 && span.text[0] == '[') from = Find(span, ']');
  for (size_t i = span.length; i > from; --i)
    if (span.text[i - 1] == ':') return i - 1;
  return span.length;
}

bool IsHttpsPort(Span digits) {
  return digits.length == 3 && digits.text[0] == '4' && digits.text[1] == '4' && digits.text[2] == '3';
}

bool EntryBypassesHost(Span entry, const WideChar* host) {
  if (EqualsIgnoringCase(entry, "<local>")) return !Contains(host, '.') && !Contains(host, ':');
  Span pattern = WithoutScheme(entry);
  const size_t colon = PortColon(pattern);
  if (colon < pattern.length) {
    if (!IsHttpsPort(Span{pattern.text + colon + 1, pattern.length - colon - 1})) return false;
    pattern.length = colon;
  }
  return pattern.length > 0 && MatchesWildcard(pattern, host);
}

// Copies a proxy entry as "host:port" when it is a plain or http:// proxy.
bool CopyProxyName(Span entry, WideChar (&proxy)[ProxyNameSize]) {
  if (StartsWithIgnoringCase(entry, "http://"))
    entry = WithoutScheme(entry);
  else if (WithoutScheme(entry).text != entry.text)
    return false;  // a proxy spoken to in another protocol
  while (entry.length > 0 && entry.text[entry.length - 1] == '/') --entry.length;
  const bool hasPort = PortColon(entry) < entry.length;
  const char* defaultPort = hasPort ? "" : ":80";
  const size_t portLength = hasPort ? 0 : 3;
  if (entry.length == 0 || entry.length + portLength >= ProxyNameSize) return false;
  Traits::copy(proxy, entry.text, entry.length);
  for (size_t i = 0; i <= portLength; ++i) proxy[entry.length + i] = static_cast<unsigned char>(defaultPort[i]);
  return true;
}

// Whether any entry of a list matches `argument`.
template <typename Argument>
bool AnyEntry(const WideChar* list, bool (*matches)(Span, Argument), Argument argument) {
  const WideChar* cursor = list;
  Span entry;
  while (NextEntry(cursor, entry))
    if (matches(entry, argument)) return true;
  return false;
}

// Dotted decimal with four parts, each at most 255, the first 127.
bool IsLoopbackIpv4(const WideChar* host) {
  int parts = 0;
  for (const WideChar* cursor = host;; ++cursor) {
    int value = 0, digits = 0;
    for (; *cursor >= '0' && *cursor <= '9' && digits < 4; ++cursor, ++digits) value = value * 10 + (*cursor - '0');
    if (digits == 0 || digits > 3 || value > 255 || (parts == 0 && value != 127)) return false;
    ++parts;
    if (*cursor == '\0') return parts == 4;
    if (*cursor != '.' || parts == 4) return false;
  }
}

}  // namespace

bool IsLoopbackHost(const WideChar* host) {
  const Span whole = {host, Traits::length(host)};
  // The IPv6 forms hold no letter, so case does not matter for them either.
  return EqualsIgnoringCase(whole, "localhost") || EqualsIgnoringCase(whole, "[::1]") ||
         EqualsIgnoringCase(whole, "::1") || IsLoopbackIpv4(host);
}

bool ProxyBypassesHost(const WideChar* bypassList, const WideChar* host) {
  return AnyEntry(bypassList, EntryBypassesHost, host);
}

bool BypassListKeepsLoopback(const WideChar* bypassList) {
  return AnyEntry(bypassList, EqualsIgnoringCase, "<-loopback>");
}

bool PickHttpsProxy(const WideChar* proxyList, WideChar (&proxy)[ProxyNameSize]) {
  proxy[0] = '\0';
  Span chosen = {nullptr, 0};
  const WideChar* cursor = proxyList;
  Span entry;
  while (NextEntry(cursor, entry)) {
    const size_t equals = Find(entry, '=');
    if (equals == entry.length) {
      if (!chosen.text) chosen = entry;
    } else if (EqualsIgnoringCase(Span{entry.text, equals}, "https")) {
      chosen = Span{entry.text + equals + 1, entry.length - equals - 1};
      break;
    }
  }
  if (!chosen.text || !CopyProxyName(chosen, proxy)) {
    proxy[0] = '\0';
    return false;
  }
  return true;
}
