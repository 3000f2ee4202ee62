#pragma once
// The proxy that the current user's Internet settings choose for one HTTPS
// address: a static proxy with its bypass list, a proxy script (PAC) at a
// configured URL, or one found by auto-detection (WPAD).

#include "net/proxy_lists.h"

// Where the settings sent a request, for a caller that tells it.
enum class ProxySource {
  NoneSet,           // no proxy in the user's settings
  LoopbackBypassed,  // this machine's own address never goes to a proxy
  ListBypassed,      // the static proxy's bypass list names the host
  StaticProxy,       // the static proxy of the settings
  ProxyScript,       // a proxy script at the configured URL (or found by auto-detection)
  AutoDetected,      // auto-detection alone
  ScriptDirect,      // the script, or auto-detection, answered DIRECT or found none
};

// Finds the proxy for https://`host``path` (port 443).
// Returns 0 with `proxy` set to "host:port" (":80" added when the settings
// name no port), or to "" when the request goes out as without user settings:
// no proxy set, the host bypassed (a loopback host always, unless the bypass
// list holds "<-loopback>"), a script that answers DIRECT, or auto-detection
// that finds no script.
// Returns a Windows error code, with `proxy` "", when the settings name a
// proxy script that cannot be fetched or run and no static proxy stands in.
// `source` (may be null) tells where the answer came from.
int FindUserProxy(const wchar_t* host, const wchar_t* path, wchar_t (&proxy)[ProxyNameSize],
                  ProxySource* source = nullptr);

// The proxy chosen for the key service, looked up on the first request of a
// run and kept for the others: discovery may take seconds. A request that gave
// up on the proxy leaves `proxy` "", so the next one goes directly at once.
struct ProxyRoute {
  bool resolved;
  wchar_t proxy[ProxyNameSize];
};
