#pragma once
// One synchronous HTTPS POST of a JSON body to the key service.

#include "net/proxy.h"
#include "net/server_pins.h"

// Largest reply body accepted; a longer one fails the call with
// PostJsonReplyTooLarge.
constexpr unsigned long PostJsonMaxReplyBytes = 1024 * 1024;

// Result codes of the failures that the platform does not name. Both leave the
// status at 500 and the reply null.
// The service URL's host name or path is longer than 255 characters; nothing
// has been sent. ERROR_BUFFER_OVERFLOW.
constexpr int PostJsonUrlPartTooLong = 111;
// The reply body is longer than PostJsonMaxReplyBytes; reading stopped there.
// ERROR_MESSAGE_EXCEEDS_MAX_SIZE.
constexpr int PostJsonReplyTooLarge = 4336;
// The server's key matches none of the pins, or its certificate cannot be
// read: the headers went out, the body did not. TRUST_E_EXPLICIT_DISTRUST.
constexpr int PostJsonServerKeyMismatch = static_cast<int>(0x800B0111);
// The pin list is unusable; nothing has been sent. ERROR_BAD_CONFIGURATION.
constexpr int PostJsonKeyPinsMalformed = 1610;

// The call stopped, as asked, once the service's certificate had been read:
// nothing of the body went out. ERROR_CANCELLED.
constexpr int PostJsonStoppedBeforeBody = 1223;

// A host name or a path of at most 255 characters, plus the terminator.
constexpr int ServiceUrlPartSize = 256;

// The host name and the path of a service URL, as every request takes them.
// Returns 0, the platform's error (or INET_E_INVALID_URL) for a URL that
// cannot be cracked, or PostJsonUrlPartTooLong.
int CrackServiceUrl(const wchar_t* serviceUrl, wchar_t (&host)[ServiceUrlPartSize],
                    wchar_t (&path)[ServiceUrlPartSize]);

// What a request met on its way, for a caller that reports it as well as
// using the reply. Set it to {} (and stopBeforeBody) before the call.
struct PostJsonTrace {
  // In: end the call once the service's certificate has been read and
  // matched against the pins, before the body is handed over; the headers
  // then go out alone, also on a direct request without pins.
  bool stopBeforeBody;
  // The certificate the service showed in the last handshake, or null; the
  // caller frees it with CertFreeCertificateContext.
  const CERT_CONTEXT* certificate;
  // The scheme (WINHTTP_AUTH_SCHEME_*) in which the proxy was offered the
  // user's logon; 0 when no proxy asked for a sign-in.
  unsigned long proxySignInScheme;
  // The proxy was given up and the request went directly: it refused the
  // sign-in, or it answered with `proxyStatus` in place of the tunnel, or it
  // failed with `proxyError`.
  bool proxyGivenUp;
  bool proxySignInRefused;
  unsigned proxyStatus;
  int proxyError;
};

// Posts `body` (UTF-8, NUL-terminated, sent without the NUL) to the host and
// path of `serviceUrl`, always over TLS on port 443.
// Returns 0 on success, otherwise a Windows error code or an HRESULT.
// `*reply` is set to null first; after a success with a non-empty body it is a
// malloc'd block of the body's bytes plus a NUL, which the caller frees.
// `status` may be null; it reads 500 until a reply status is known and 200
// after a success.
// `trust` may be null: no pins, and any certificate is accepted. With pins the
// body goes out only once the server's key matches.
// `route` may be null: the user's proxy is looked up for this request alone.
// Otherwise it is looked up once and kept there for later requests to the
// same URL. Through a proxy, or with pins, the headers go out first and the
// body only once the secure channel to the service is up (and the key
// matches); a direct request without pins sends both at once. A request is
// sent directly when the proxy cannot be found, reached or signed in to, or
// answers in place of the tunnel, but only while its body has not been
// handed over: no body is ever posted twice. The user's logon is offered to
// the proxy alone.
// `trace` may be null; see PostJsonTrace.
// `clientIp` is the text of the "vrd-clientid" header, as GetClientIpAddress
// gives it; null: it is looked up for this request.
int PostJson(const wchar_t* serviceUrl, const char* body, char** reply, int* status, const ServerTrust* trust = nullptr,
             ProxyRoute* route = nullptr, PostJsonTrace* trace = nullptr, const char* clientIp = nullptr);
