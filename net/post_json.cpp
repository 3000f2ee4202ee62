#include "net/post_json.h"

#include <windows.h>
#include <winhttp.h>

#include <cstring>
#include <cwchar>

#include "net/identity.h"
#include "net/proxy.h"
#include "net/proxy_answer.h"
#include "net/reply.h"
#include "net/send_decision.h"
#include "net/server_certificate.h"
#include "sys/debug_log.h"
#include "sys/event_log.h"
#include "sys/handle_guard.h"

static_assert(PostJsonUrlPartTooLong == ERROR_BUFFER_OVERFLOW, "documented as ERROR_BUFFER_OVERFLOW");
static_assert(PostJsonReplyTooLarge == ERROR_MESSAGE_EXCEEDS_MAX_SIZE, "documented as ERROR_MESSAGE_EXCEEDS_MAX_SIZE");
static_assert(PostJsonServerKeyMismatch == TRUST_E_EXPLICIT_DISTRUST, "documented as TRUST_E_EXPLICIT_DISTRUST");
static_assert(PostJsonKeyPinsMalformed == ERROR_BAD_CONFIGURATION, "documented as ERROR_BAD_CONFIGURATION");
static_assert(PostJsonStoppedBeforeBody == ERROR_CANCELLED, "documented as ERROR_CANCELLED");

namespace {

constexpr DWORD UrlPartSize = ServiceUrlPartSize;
constexpr size_t HeaderBlockSize = 192;  // wide characters, terminator included
constexpr int FailureStatus = 500;
constexpr int SuccessStatus = 200;
constexpr int InvalidUrlFallback = static_cast<int>(0x800C0002);       // INET_E_INVALID_URL
constexpr int InvalidResponseFallback = static_cast<int>(0x80072F78);  // HRESULT of 12152
constexpr DWORD SecureRefreshFlags = WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH;
constexpr DWORD IgnoreCertificateProblems = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                                            SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                            SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

const wchar_t JsonHeaders[] = L"Accept: application/json\r\nContent-Type: application/json\r\n";
const wchar_t EncodingHeader[] = L"Accept-Encoding: gzip, deflate\r\n";
const wchar_t ClientIdName[] = L"vrd-clientid: ";
const wchar_t HeaderEnd[] = L"\r\n";

// Every return path closes the request, the connection and the session.
using WinHttpHandle = ScopedHandle<HINTERNET, BOOL, WinHttpCloseHandle>;

int LastErrorOr(int fallback) {
  const DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : fallback;
}

void SetStatus(int* status, int value) {
  if (status) *status = value;
}

void CopyUrlPart(const wchar_t* part, DWORD length, wchar_t (&target)[UrlPartSize]) {
  const DWORD copied = part ? length : 0;
  if (copied > 0) std::wmemcpy(target, part, copied);
  target[copied] = L'\0';
}

void AppendWide(wchar_t (&block)[HeaderBlockSize], size_t& length, const wchar_t* text) {
  for (; *text && length + 1 < HeaderBlockSize; ++text) block[length++] = *text;
  block[length] = L'\0';
}

// The client IP text is ASCII, so each byte widens to one character.
void AppendWidenedAscii(wchar_t (&block)[HeaderBlockSize], size_t& length, const char* text) {
  for (; *text && length + 1 < HeaderBlockSize; ++text)
    block[length++] = static_cast<wchar_t>(static_cast<unsigned char>(*text));
  block[length] = L'\0';
}

void BuildHeaderBlock(const char* clientIp, bool withEncoding, wchar_t (&block)[HeaderBlockSize]) {
  size_t length = 0;
  block[0] = L'\0';
  AppendWide(block, length, JsonHeaders);
  if (withEncoding) AppendWide(block, length, EncodingHeader);
  AppendWide(block, length, ClientIdName);
  AppendWidenedAscii(block, length, clientIp);
  AppendWide(block, length, HeaderEnd);
}

void SetDwordOption(HINTERNET request, DWORD option, DWORD value) {
  WinHttpSetOption(request, option, &value, sizeof(value));
}

// Returns whether the platform will decode compressed replies; only then may
// the request offer to take them. A verifying request sets no ignore flags,
// so the platform checks the chain and the host name.
bool SetRequestOptions(HINTERNET request, bool verifyCertificate) {
  SetDwordOption(request, WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
  SetDwordOption(request, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_REDIRECTS);
  if (!verifyCertificate) SetDwordOption(request, WINHTTP_OPTION_SECURITY_FLAGS, IgnoreCertificateProblems);
  DWORD decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
  const bool decompresses =
      WinHttpSetOption(request, WINHTTP_OPTION_DECOMPRESSION, &decompression, sizeof(decompression)) != FALSE;
  // The user's logon goes to nobody unless a proxy asks for it. (The default
  // would offer it to any host that WinHTTP counts as intranet.)
  SetDwordOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH);
  return decompresses;
}

// Whether the secure channel to the service itself is up: the certificate
// it showed can be read. Used only as proof that the tunnel through a proxy
// was opened, never as proof that nothing was sent.
bool SecureChannelIsUp(HINTERNET request) {
  const CERT_CONTEXT* certificate = nullptr;
  DWORD size = sizeof(certificate);
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) || !certificate)
    return false;
  CertFreeCertificateContext(certificate);
  return true;
}

// The scheme in which the proxy may be offered the user's logon: Negotiate
// (Kerberos or NTLM) or NTLM, and only when the 407 is the proxy's own.
// 0 for none.
DWORD ProxyLogonScheme(HINTERNET request) {
  DWORD supported = 0, first = 0, target = 0;
  if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target) || target != WINHTTP_AUTH_TARGET_PROXY) return 0;
  if (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) return WINHTTP_AUTH_SCHEME_NEGOTIATE;
  return (supported & WINHTTP_AUTH_SCHEME_NTLM) ? WINHTTP_AUTH_SCHEME_NTLM : 0;
}

int WriteBody(HINTERNET request, const char* body, DWORD bodyLength) {
  for (DWORD sent = 0; sent < bodyLength;) {
    DWORD written = 0;
    if (!WinHttpWriteData(request, body + sent, bodyLength - sent, &written))
      return LastErrorOr(ERROR_CONNECTION_REFUSED);
    if (written == 0) return ERROR_WRITE_FAULT;
    sent += written;
  }
  return 0;
}

// Through the named proxy, or for "" as without user settings: the
// platform's default proxy, so a machine-wide WinHTTP proxy still applies.
HINTERNET OpenSession(const wchar_t* proxy) {
  if (proxy[0] == L'\0')
    return WinHttpOpen(ClientUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                       WINHTTP_NO_PROXY_BYPASS, 0);
  // The bypass list has already been applied to this very host.
  return WinHttpOpen(ClientUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy, WINHTTP_NO_PROXY_BYPASS, 0);
}

// Offers the logged-on user's own logon, never a name and password, to the
// proxy alone. Medium is the least policy under which WinHTTP answers a proxy
// outside the intranet zone with it; WinHTTP wants the credentials again
// before every send of the sign-in.
bool OfferLogonToProxy(HINTERNET request, DWORD scheme) {
  SetDwordOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_MEDIUM);
  return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) != FALSE;
}

void LogGoingDirect(DWORD eventId, const wchar_t* reason, const wchar_t* what, long long number) {
  ReportNextLogLine(eventId, EVENTLOG_WARNING_TYPE);
  LogText(reason);
  LogLineNumber(what, number, L").  Reaching the key service directly\n");
}

// What one request carries, whichever way it goes.
struct Exchange {
  const wchar_t* host;
  const wchar_t* path;
  const char* clientIp;
  const char* body;
  DWORD bodyLength;
  const ServerTrust* trust;
  PostJsonTrace* trace;
};

// How an attempt ended: with an answer or a failure that stands, or through
// the proxy before the body was handed over, with the proxy's own status
// when it answered instead of opening the tunnel, or with the error that
// ended the read of that answer.
enum class Way { Final, ProxyNotReached, ProxySignInRefused };
struct Attempt {
  Way way;
  unsigned proxyStatus;
  bool answerUnread = false;
};

// What answered before the tunnel was up: the proxy, with a status of its own.
// A 407 leaves the scheme it takes the logon in (0 for none) in `scheme`.
void ReadProxyAnswer(HINTERNET request, SendOutcome& outcome, DWORD& scheme) {
  outcome.error = ReceiveProxyAnswer(request);
  if (outcome.error != 0) {
    outcome.answerUnread = true;
    return;
  }
  DWORD code = 0;
  QueryStatusCode(request, code);
  outcome.status = code;
  if (code == HTTP_STATUS_PROXY_AUTH_REQ) {
    scheme = ProxyLogonScheme(request);
    outcome.proxyTakesLogon = scheme != 0;
  }
}

bool StopsBeforeBody(const Exchange& exchange) { return exchange.trace && exchange.trace->stopBeforeBody; }

// The certificate of this handshake replaces one an earlier send kept.
void KeepCertificate(HINTERNET request, PostJsonTrace& trace) {
  const CERT_CONTEXT* certificate = nullptr;
  DWORD size = sizeof(certificate);
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) || !certificate) return;
  if (trace.certificate) CertFreeCertificateContext(trace.certificate);
  trace.certificate = certificate;
}

// Once the secure channel to the service is up, its key matches the pins
// (when there are pins), the body is written and the reply awaited.
void SendBodyToService(HINTERNET request, const Exchange& exchange, SendOutcome& outcome) {
  // Past the proxy the logon is offered to nobody, where WinHTTP takes the
  // change this late.
  if (outcome.signingIn)
    SetDwordOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH);
  if (exchange.trace) KeepCertificate(request, *exchange.trace);
  const ServerTrust* trust = exchange.trust;
  if (trust && trust->pinned) {
    outcome.error = CheckServerKey(request, *trust);
    if (outcome.error != 0) return;
  }
  if (StopsBeforeBody(exchange)) {
    outcome.error = PostJsonStoppedBeforeBody;
    return;
  }
  outcome.bodyHandedOver = true;
  outcome.error = WriteBody(request, exchange.body, exchange.bodyLength);
  if (outcome.error == 0 && !WinHttpReceiveResponse(request, nullptr))
    outcome.error = LastErrorOr(InvalidResponseFallback);
}

// A direct request with no key to check first holds nothing back: its body
// goes out with the headers, in one write. Written apart, the body waits for
// the headers' acknowledgement, which a server may delay by 40 ms or more.
bool SendsBodyWithHeaders(const Exchange& exchange, const SendOutcome& outcome) {
  return !outcome.throughProxy && !(exchange.trust && exchange.trust->pinned) && !StopsBeforeBody(exchange);
}

void SendWholeRequest(HINTERNET request, const Exchange& exchange, SendOutcome& outcome) {
  // From here a failure stands: part of the body may have gone out.
  outcome.bodyHandedOver = true;
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, const_cast<char*>(exchange.body),
                          exchange.bodyLength, exchange.bodyLength, 0)) {
    outcome.error = LastErrorOr(ERROR_CONNECTION_REFUSED);
    return;
  }
  if (exchange.trace) KeepCertificate(request, *exchange.trace);
  if (!WinHttpReceiveResponse(request, nullptr)) outcome.error = LastErrorOr(InvalidResponseFallback);
}

// One send. Through a proxy or to a pinned key, the headers go alone, so
// that WinHTTP never holds the body and so never posts it again by itself;
// the body follows only through an open tunnel, or once the key matches.
void SendOnce(HINTERNET request, const Exchange& exchange, SendOutcome& outcome, DWORD& scheme) {
  ++outcome.sends;
  outcome.tunnelUp = !outcome.throughProxy;
  outcome.error = 0;
  outcome.status = 0;
  outcome.proxyTakesLogon = false;
  outcome.answerUnread = false;
  if (SendsBodyWithHeaders(exchange, outcome)) {
    SendWholeRequest(request, exchange, outcome);
    return;
  }
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, exchange.bodyLength,
                          0)) {
    outcome.error = LastErrorOr(ERROR_CONNECTION_REFUSED);
    return;
  }
  if (outcome.throughProxy) outcome.tunnelUp = SecureChannelIsUp(request);
  if (outcome.tunnelUp)
    SendBodyToService(request, exchange, outcome);
  else
    ReadProxyAnswer(request, outcome, scheme);
}

// Sends until the reply or a failure stands, or the proxy is given up.
int SendPastProxy(HINTERNET request, const Exchange& exchange, bool throughProxy, Attempt& attempt) {
  SendOutcome outcome = {};
  outcome.throughProxy = throughProxy;
  DWORD scheme = 0;  // the proxy's, once it asked for a sign-in
  for (;;) {
    SendOnce(request, exchange, outcome, scheme);
    NoteRefusedCertificate(exchange.trust, outcome.error);
    switch (DecideAfterSend(outcome)) {
      case NextStep::Answer:
        return 0;
      case NextStep::Fail:
        return outcome.error;
      case NextStep::SignIn:
        outcome.signingIn = true;
        if (exchange.trace) exchange.trace->proxySignInScheme = scheme;
        [[fallthrough]];
      case NextStep::Resend:
        if (!outcome.signingIn || OfferLogonToProxy(request, scheme)) continue;
        [[fallthrough]];
      case NextStep::ProxySignInRefused:
        attempt = {Way::ProxySignInRefused, 0};
        return ERROR_WINHTTP_LOGIN_FAILURE;
      case NextStep::ProxyNotReached:
        attempt = {Way::ProxyNotReached, outcome.error == 0 ? outcome.status : 0, outcome.answerUnread};
        return outcome.error != 0 ? outcome.error : ERROR_EXTENDED_ERROR;
    }
  }
}

// One whole exchange over a session of its own.
int PostOnce(const Exchange& exchange, const wchar_t* proxy, char** reply, int* status, Attempt& attempt) {
  const bool throughProxy = proxy[0] != L'\0';
  // Nothing has been sent until the request goes out.
  attempt = {throughProxy ? Way::ProxyNotReached : Way::Final, 0};
  WinHttpHandle session(OpenSession(proxy));
  if (!session.handle) return LastErrorOr(ERROR_CONNECTION_REFUSED);
  WinHttpHandle connection(WinHttpConnect(session.handle, exchange.host, INTERNET_DEFAULT_HTTPS_PORT, 0));
  if (!connection.handle) return LastErrorOr(ERROR_CONNECTION_REFUSED);
  WinHttpHandle request(WinHttpOpenRequest(connection.handle, L"POST", exchange.path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, SecureRefreshFlags));
  if (!request.handle) return LastErrorOr(ERROR_CONNECTION_REFUSED);

  const ServerTrust* trust = exchange.trust;
  const bool decompresses = SetRequestOptions(request.handle, trust && trust->verifyCertificate);
  wchar_t headers[HeaderBlockSize];
  BuildHeaderBlock(exchange.clientIp, decompresses, headers);
  if (!WinHttpAddRequestHeaders(request.handle, headers, static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD))
    return LastErrorOr(ERROR_CONNECTION_REFUSED);

  attempt = {Way::Final, 0};
  const int sent = SendPastProxy(request.handle, exchange, throughProxy, attempt);
  if (sent != 0) return sent;

  const int accepted = AcceptReplyStatus(request.handle, status);
  if (accepted != 0) return accepted;

  const int read = ReadBody(request.handle, reply);
  if (read != 0) return read;
  SetStatus(status, SuccessStatus);
  return 0;
}

void LogProxyGivenUp(const Attempt& attempt, const wchar_t* proxy, int result) {
  if (attempt.way == Way::ProxySignInRefused) {
    ReportNextLogLine(EventProxySignInRefused, EVENTLOG_WARNING_TYPE);
    LogLine3(L"[tollbury] The proxy ", proxy,
             L" asks for a sign-in that Tollbury cannot give.  Reaching the key service directly\n");
    return;
  }
  if (attempt.answerUnread) {
    LogGoingDirect(EventProxyNotReached, L"[tollbury] The proxy's answer could not be read", L" (error ", result);
    return;
  }
  // A proxy that answered in place of the tunnel is named by its status.
  const bool answered = attempt.proxyStatus != 0;
  LogGoingDirect(EventProxyNotReached, L"[tollbury] The proxy could not be reached",
                 answered ? L" (status " : L" (error ",
                 answered ? static_cast<long long>(attempt.proxyStatus) : result);
}

void NoteProxyGivenUp(PostJsonTrace* trace, const Attempt& attempt, int result) {
  if (!trace) return;
  trace->proxyGivenUp = true;
  trace->proxySignInRefused = attempt.way == Way::ProxySignInRefused;
  trace->proxyStatus = attempt.proxyStatus;
  trace->proxyError = result;
}

void ResolveRoute(const wchar_t* host, const wchar_t* path, ProxyRoute& route) {
  const int found = FindUserProxy(host, path, route.proxy);
  if (found != 0) LogGoingDirect(EventProxyNotFound, L"[tollbury] The proxy could not be found", L" (error ", found);
  route.resolved = true;
}

}  // namespace

int CrackServiceUrl(const wchar_t* url, wchar_t (&host)[ServiceUrlPartSize], wchar_t (&path)[ServiceUrlPartSize]) {
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url, static_cast<DWORD>(std::wcslen(url)), 0, &parts)) return LastErrorOr(InvalidUrlFallback);
  if (parts.dwHostNameLength >= UrlPartSize || parts.dwUrlPathLength >= UrlPartSize) return PostJsonUrlPartTooLong;
  CopyUrlPart(parts.lpszHostName, parts.dwHostNameLength, host);
  CopyUrlPart(parts.lpszUrlPath, parts.dwUrlPathLength, path);
  return 0;
}

int PostJson(const wchar_t* serviceUrl, const char* body, char** reply, int* status, const ServerTrust* trust,
             ProxyRoute* route, PostJsonTrace* trace, const char* clientIp) {
  SetStatus(status, FailureStatus);
  char lookedUpIp[ClientTextSize];
  if (!clientIp) {
    GetClientIpAddress(lookedUpIp);
    clientIp = lookedUpIp;
  }
  *reply = nullptr;
  if (!serviceUrl) return InvalidUrlFallback;
  if (!body) body = "";
  // An unusable pin list must not fall back to trusting any certificate.
  if (trust && trust->pinsMalformed) return PostJsonKeyPinsMalformed;

  wchar_t host[UrlPartSize];
  wchar_t path[UrlPartSize];
  const int cracked = CrackServiceUrl(serviceUrl, host, path);
  if (cracked != 0) return cracked;
  const Exchange exchange = {host, path, clientIp, body, static_cast<DWORD>(std::strlen(body)), trust, trace};

  // A service that was reachable without the user's proxy stays reachable:
  // when the proxy cannot be found, reached or passed, the request goes out
  // directly, but never once the body may have reached the service.
  ProxyRoute onlyThisRequest = {};
  ProxyRoute& chosen = route ? *route : onlyThisRequest;
  if (!chosen.resolved) ResolveRoute(host, path, chosen);
  Attempt attempt = {Way::Final, 0};
  if (chosen.proxy[0] != L'\0') {
    LogLine3(L"[tollbury] Reaching the key service through proxy ", chosen.proxy, L"\n");
    const int result = PostOnce(exchange, chosen.proxy, reply, status, attempt);
    if (attempt.way == Way::Final) return result;
    LogProxyGivenUp(attempt, chosen.proxy, result);
    NoteProxyGivenUp(trace, attempt, result);
    chosen.proxy[0] = L'\0';
  }
  return PostOnce(exchange, L"", reply, status, attempt);
}
