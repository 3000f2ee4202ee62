#pragma once
// The proxy that the current user's Internet settings choose for one HTTPS
// address: a static proxy with its bypass list, a proxy script (PAC) at a
// configured URL, or one found by auto-detection (WPAD).

// "host:port" of a host name of up to 255 characters, plus the terminator.
constexpr int ProxyNameSize = 264;

// Finds the proxy for https://`host``path` (port 443).
// Returns 0 with `proxy` set to "host:port" (":80" added when the settings
// name no port), or to "" when the request goes out as without user settings:
// no proxy set, the host bypassed (a loopback host always, unless the bypass
// list holds "<-loopback>"), a script that answers DIRECT, or auto-detection
// that finds no script.
// Returns a Windows error code, with `proxy` "", when the settings name a
// proxy script that cannot be fetched or run and no static proxy stands in.
int FindUserProxy(const wchar_t* host, const wchar_t* path, wchar_t (&proxy)[ProxyNameSize]);

// Whether `host` is this machine: "localhost", 127.0.0.0/8 or [::1].
bool IsLoopbackHost(const wchar_t* host);

// Whether a static proxy bypass list ("<local>;*.corp;10.*", separated by
// semicolons, spaces or commas) exempts `host` on port 443.
bool ProxyBypassesHost(const wchar_t* bypassList, const wchar_t* host);

// Takes the proxy for HTTPS from a proxy list ("host:port", "http://host",
// or per scheme "http=a:80;https=b:8080"): the "https=" entry, else the
// first entry without a scheme. Returns false, with `proxy` "", when the
// list names none that fits.
bool PickHttpsProxy(const wchar_t* proxyList, wchar_t (&proxy)[ProxyNameSize]);

// The proxy chosen for the key service, looked up on the first request of a
// run and kept for the others: discovery may take seconds. A request that gave
// up on the proxy leaves `proxy` "", so the next one goes directly at once.
struct ProxyRoute {
  bool resolved;
  wchar_t proxy[ProxyNameSize];
};
