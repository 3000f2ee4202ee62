#include "net/send_decision.h"

#include <windows.h>
#include <winhttp.h>

namespace {

bool MaySendAgain(const SendOutcome& outcome) { return outcome.sends < MaxSendsPerRequest; }

// Before the tunnel is up, every answer and every failure is the proxy's.
NextStep DecideBeforeTunnel(const SendOutcome& outcome) {
  if (outcome.error == ERROR_WINHTTP_RESEND_REQUEST) {
    if (MaySendAgain(outcome)) return NextStep::Resend;
    return outcome.signingIn ? NextStep::ProxySignInRefused : NextStep::ProxyNotReached;
  }
  if (outcome.error == ERROR_WINHTTP_LOGIN_FAILURE) return NextStep::ProxySignInRefused;
  if (outcome.error != 0) return NextStep::ProxyNotReached;
  if (outcome.status != HTTP_STATUS_PROXY_AUTH_REQ) return NextStep::ProxyNotReached;
  // A second 407 after the logon was offered is a refusal.
  if (outcome.proxyTakesLogon && !outcome.signingIn && MaySendAgain(outcome)) return NextStep::SignIn;
  return NextStep::ProxySignInRefused;
}

}  // namespace

NextStep DecideAfterSend(const SendOutcome& outcome) {
  if (outcome.bodyHandedOver) return outcome.error != 0 ? NextStep::Fail : NextStep::Answer;
  if (outcome.throughProxy && !outcome.tunnelUp) return DecideBeforeTunnel(outcome);
  if (outcome.error == ERROR_WINHTTP_RESEND_REQUEST && MaySendAgain(outcome)) return NextStep::Resend;
  return outcome.error != 0 ? NextStep::Fail : NextStep::Answer;
}
