#include "check/service.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "check/account.h"
#include "check/timing.h"
#include "keys/session_keys.h"
#include "net/identity.h"
#include "net/post_json.h"
#include "net/proxy.h"

namespace {

constexpr int NameSize = 256;
constexpr int DateSize = 32;

// Declared, never sent: a request that is still owed its body gets no answer
// from the service, and no start would ever send an empty one.
constexpr char ProbeBody[] = " ";

const wchar_t* ServiceAccountNote(const CheckReport& report) {
  return RunByServiceAccount(report) ? L"; this account's, not a user's" : L"";
}

const wchar_t* RouteReason(ProxySource source, bool serviceAccount) {
  switch (source) {
    case ProxySource::LoopbackBypassed:
      return L"directly: this machine's own address is never sent to a proxy";
    case ProxySource::ListBypassed:
      return L"directly: the proxy's bypass list names the host";
    case ProxySource::ScriptDirect:
      return L"directly: the proxy script or automatic discovery names no proxy for it";
    default:
      return serviceAccount ? L"directly: no proxy is set in this account's Internet settings"
                            : L"directly: no proxy is set in this user's Internet settings";
  }
}

const wchar_t* ProxyOrigin(ProxySource source) {
  switch (source) {
    case ProxySource::ProxyScript:
      return L"the proxy script";
    case ProxySource::AutoDetected:
      return L"automatic proxy discovery";
    default:
      return L"the static proxy settings";
  }
}

// Looks the route up as a start does and leaves it in `route`.
void CheckRoute(CheckReport& report, const wchar_t* area, const wchar_t* host, const wchar_t* path, ProxyRoute& route) {
  ProxySource source = ProxySource::NoneSet;
  const Stopwatch watch = StartStopwatch();
  const int found = FindUserProxy(host, path, route.proxy, &source);
  const long long ms = ElapsedMs(watch);
  route.resolved = true;
  if (found != 0 && RunByServiceAccount(report)) {
    AddFinding(report, FindingStatus::Ok, area,
               L"route: this account's Internet settings give no proxy (error %d, %lld ms): it reaches the key "
               L"service directly; this account's route, not a user's",
               found, ms);
  } else if (found != 0) {
    AddFinding(report, FindingStatus::Warn, area,
               L"route: the proxy could not be found (error %d, %lld ms): a start reaches the key service "
               L"directly; check the proxy script's address in this user's Internet settings",
               found, ms);
  } else if (route.proxy[0] != L'\0') {
    AddFinding(report, FindingStatus::Ok, area, L"route: through proxy %ls, from %ls (%lld ms)%ls", route.proxy,
               ProxyOrigin(source), ms, ServiceAccountNote(report));
  } else {
    AddFinding(report, FindingStatus::Ok, area, L"route: %ls (%lld ms)%ls",
               RouteReason(source, RunByServiceAccount(report)), ms, ServiceAccountNote(report));
  }
}

void CertificateName(const CERT_CONTEXT* certificate, DWORD flags, wchar_t (&name)[NameSize]) {
  if (CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name, NameSize) <= 1)
    _snwprintf(name, NameSize, L"%ls", L"(no name)");
  name[NameSize - 1] = L'\0';
}

void FormatDate(const FILETIME& time, wchar_t (&date)[DateSize]) {
  SYSTEMTIME utc;
  if (!FileTimeToSystemTime(&time, &utc)) {
    _snwprintf(date, DateSize, L"%ls", L"(unreadable)");
  } else {
    _snwprintf(date, DateSize, L"%04u-%02u-%02u %02u:%02u UTC", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
               utc.wMinute);
  }
  date[DateSize - 1] = L'\0';
}

// What Windows' own validation says of the certificate for `host`, as
// WinHTTP judges a server whose certificate it verifies: 0 when accepted.
DWORD ValidateWithWindows(const CERT_CONTEXT* certificate, const wchar_t* host, bool offline) {
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  char* usages[] = {serverAuth};
  CERT_CHAIN_PARA chainPara = {};
  chainPara.cbSize = sizeof(chainPara);
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  const CERT_CHAIN_CONTEXT* chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara,
                               offline ? CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL : 0, nullptr, &chain))
    return GetLastError();
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof(ssl);
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = const_cast<wchar_t*>(host);
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof(policy);
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  const BOOL judged = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
  const DWORD error = judged ? status.dwError : GetLastError();
  CertFreeCertificateChain(chain);
  return error;
}

void CheckCertificate(CheckReport& report, const wchar_t* area, SessionSummary& summary, const ServerTrust& trust,
                      const CERT_CONTEXT* certificate, const wchar_t* host, bool offline) {
  wchar_t subject[NameSize];
  wchar_t issuer[NameSize];
  wchar_t expiry[DateSize];
  CertificateName(certificate, 0, subject);
  CertificateName(certificate, CERT_NAME_ISSUER_FLAG, issuer);
  FormatDate(certificate->pCertInfo->NotAfter, expiry);
  unsigned char digest[ServerKeyDigestSize];
  const int hashed = HashServerKey(certificate, digest);
  if (hashed == 0) FormatServerKeyPin(digest, summary.pin);
  AddFinding(report, FindingStatus::Ok, area, L"certificate: subject \"%ls\", issuer \"%ls\", valid until %ls, pin %ls",
             subject, issuer, expiry, hashed == 0 ? summary.pin : L"(the key cannot be read)");

  if (trust.pinned && !trust.pinsMalformed) {
    if (hashed == 0 && MatchesServerKeyPin(trust.pins, digest))
      AddFinding(report, FindingStatus::Ok, area, L"certificate: its key matches ServerKeyPins");
    else
      AddFinding(report, FindingStatus::Fail, area,
                 L"certificate: its key matches none of ServerKeyPins: a start sends nothing and shows \"Key "
                 L"Validation Error\"; if the service has a new key, add %ls to ServerKeyPins",
                 summary.pin);
  }
  const DWORD validation = ValidateWithWindows(certificate, host, offline);
  if (validation == 0) {
    AddFinding(report, FindingStatus::Ok, area, L"certificate: Windows' validation accepts it for %ls", host);
  } else if (trust.verifyCertificate) {
    AddFinding(report, FindingStatus::Fail, area,
               L"certificate: Windows' validation refuses it for %ls (0x%08lX), and VerifyServerCertificate is "
               L"on: a start cannot reach the key service",
               host, validation);
  } else {
    // With pins, they alone decide, and their own finding says how.
    AddFinding(report, trust.pinned ? FindingStatus::Ok : FindingStatus::Warn, area,
               L"certificate: Windows' validation refuses it for %ls (0x%08lX)%ls", host, validation,
               trust.pinned ? L"; the pins are what a start checks" : L"; a start accepts it all the same");
  }
}

const wchar_t* SchemeName(unsigned long scheme) {
  return scheme == WINHTTP_AUTH_SCHEME_NEGOTIATE ? L"Negotiate" : scheme == WINHTTP_AUTH_SCHEME_NTLM ? L"NTLM" : L"?";
}

void CheckProxyOutcome(CheckReport& report, const wchar_t* area, const wchar_t* proxy, const PostJsonTrace& trace) {
  if (trace.proxySignInScheme != 0)
    AddFinding(report, FindingStatus::Ok, area, L"proxy %ls asked for a sign-in: %ls logon was offered (%ls)", proxy,
               RunByServiceAccount(report) ? L"this account's, not a user's," : L"this user's",
               SchemeName(trace.proxySignInScheme));
  if (!trace.proxyGivenUp) return;
  if (RunByServiceAccount(report))
    AddFinding(report, FindingStatus::Ok, area,
               L"proxy %ls could not be passed with this account's logon (%ls %d): it reaches the key service "
               L"directly; this account's route, not a user's",
               proxy, trace.proxyStatus != 0 ? L"status" : L"error",
               trace.proxyStatus != 0 ? static_cast<int>(trace.proxyStatus) : trace.proxyError);
  else if (trace.proxySignInRefused)
    AddFinding(report, FindingStatus::Warn, area,
               L"proxy %ls asks for a sign-in it did not get from this user's logon: a start reaches the key "
               L"service directly",
               proxy);
  else
    AddFinding(report, FindingStatus::Warn, area,
               L"proxy %ls could not be passed (%ls %d): a start reaches the key service directly", proxy,
               trace.proxyStatus != 0 ? L"status" : L"error",
               trace.proxyStatus != 0 ? static_cast<int>(trace.proxyStatus) : trace.proxyError);
}

void ReportValidation(CheckReport& report, const wchar_t* area, SessionSummary& summary, int result, bool accepted,
                      long long ms) {
  if (result != 0) {
    summary.validation = Validation::Failed;
    AddFinding(report, FindingStatus::Fail, area,
               L"validation: the validateKey request failed (Status=%d, Error Code=%d, %lld ms): a start shows "
               L"\"Key Validation Error\"",
               summary.status, result, ms);
  } else if (accepted) {
    summary.validation = Validation::Good;
    AddFinding(report, FindingStatus::Ok, area, L"validation: the key service accepts the key files (%lld ms)", ms);
  } else {
    summary.validation = Validation::Bad;
    AddFinding(report, FindingStatus::Warn, area,
               L"validation: the key service does not accept the key files (%lld ms): a start asks for the "
               L"account's credentials and fetches new ones",
               ms);
  }
}

void ReportProbe(CheckReport& report, const wchar_t* area, SessionSummary& summary, int result, long long ms) {
  summary.validation = Validation::Skipped;
  if (result == PostJsonStoppedBeforeBody) summary.status = 0;
  if (result == PostJsonStoppedBeforeBody || result == 0)
    AddFinding(report, FindingStatus::Ok, area,
               L"the key service was reached (%lld ms); no body was sent, there are no key files to validate", ms);
  else
    AddFinding(report, FindingStatus::Fail, area,
               L"the key service cannot be reached (Status=%d, Error Code=%d, %lld ms): fetching keys would fail "
               L"with \"Authentication Error\"",
               summary.status, result, ms);
}

}  // namespace

void CheckService(CheckReport& report, const wchar_t* area, SessionSummary& summary, const ServerTrust& trust,
                  const KeyDigests& digests, bool offline) {
  wchar_t host[ServiceUrlPartSize];
  wchar_t path[ServiceUrlPartSize];
  const int cracked = CrackServiceUrl(summary.serviceUrl, host, path);
  if (cracked != 0) {
    summary.validation = Validation::Error;
    summary.error = cracked;
    AddFinding(report, FindingStatus::Fail, area,
               L"the service URL %ls cannot be used (error %d): a start cannot reach the key service; correct Server",
               summary.serviceUrl, cracked);
    return;
  }
  ProxyRoute route = {};
  SetRunningStep(report, area, L"the route");
  CheckRoute(report, area, host, path, route);
  std::wmemcpy(summary.proxy, route.proxy, ProxyNameSize);
  if (offline) {
    summary.validation = Validation::Skipped;
    AddFinding(report, FindingStatus::Ok, area, L"offline: nothing was sent to the key service");
    return;
  }

  // An unusable pin list stops every start before it sends anything; the
  // certificate is still read, so that the list can be put right.
  ServerTrust probeTrust = trust;
  if (trust.pinsMalformed) probeTrust.pinned = probeTrust.pinsMalformed = false;
  const bool validating = digests.present && !trust.pinsMalformed;
  PostJsonTrace trace = {};
  trace.stopBeforeBody = !validating;
  int result = 0;
  bool accepted = false;
  SetRunningStep(report, area, validating ? L"the validateKey exchange" : L"reaching the key service");
  const Stopwatch watch = StartStopwatch();
  if (validating) {
    char clientIp[ClientTextSize];
    char clientVersion[ClientTextSize];
    GetClientIpAddress(clientIp);
    GetClientVersionString(clientVersion);
    result = ValidateKeyDigests(summary.serviceUrl, clientVersion, clientIp, digests.key, digests.uploadKey, trust,
                                route, summary.status, accepted, &trace);
  } else {
    char* reply = nullptr;
    result = PostJson(summary.serviceUrl, ProbeBody, &reply, &summary.status, &probeTrust, &route, &trace);
    std::free(reply);
  }
  const long long ms = ElapsedMs(watch);
  // Stopping before the body is the probe's own doing, not a failure.
  summary.error = result == PostJsonStoppedBeforeBody ? 0 : result;
  CheckProxyOutcome(report, area, summary.proxy, trace);
  std::wmemcpy(summary.proxy, route.proxy, ProxyNameSize);
  if (trace.certificate) {
    SetRunningStep(report, area, L"the certificate's validation");
    CheckCertificate(report, area, summary, trust, trace.certificate, host, offline);
    CertFreeCertificateContext(trace.certificate);
  } else {
    AddFinding(
        report, trust.verifyCertificate ? FindingStatus::Fail : FindingStatus::Warn, area,
        L"certificate: the key service showed none (error %d)%ls", result,
        trust.verifyCertificate ? L"; with VerifyServerCertificate on, Windows' validation may have refused it" : L"");
  }
  if (trust.pinsMalformed) {
    // Nothing is posted with an unusable pin list.
    summary.validation = Validation::Failed;
    summary.status = 0;
    summary.error = PostJsonKeyPinsMalformed;
    AddFinding(report, FindingStatus::Fail, area,
               L"validation: a start sends nothing with an unusable ServerKeyPins and shows \"Key Validation "
               L"Error\" (Error Code=%d)",
               PostJsonKeyPinsMalformed);
  } else if (validating) {
    ReportValidation(report, area, summary, result, accepted, ms);
  } else {
    ReportProbe(report, area, summary, result, ms);
  }
}
