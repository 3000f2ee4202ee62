#pragma once
// The lists of the Internet settings that choose a proxy: the proxy list and
// the bypass list. Needs no Windows header.
#include "sys/wide_char.h"

// "host:port" of a host name of up to 255 characters, plus the terminator.
constexpr int ProxyNameSize = 264;

// Whether `host` is this machine: "localhost", 127.0.0.0/8 or [::1].
bool IsLoopbackHost(const WideChar* host);

// Whether a static proxy bypass list ("<local>;*.corp;10.*", separated by
// semicolons, spaces or commas) exempts `host` on port 443.
bool ProxyBypassesHost(const WideChar* bypassList, const WideChar* host);

// Whether a bypass list holds "<-loopback>": this machine's own addresses go
// to the proxy as well.
bool BypassListKeepsLoopback(const WideChar* bypassList);

// Takes the proxy for HTTPS from a proxy list ("host:port", "http://host",
// or per scheme "http=a:80;https=b:8080"): the "https=" entry, else the
// first entry without a scheme. Returns false, with `proxy` "", when the
// list names none that fits.
bool PickHttpsProxy(const WideChar* proxyList, WideChar (&proxy)[ProxyNameSize]);
