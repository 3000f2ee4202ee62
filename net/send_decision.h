#pragma once
// What follows one send of a key service request: the choice alone, apart
// from the calls that make it, so that every road through a proxy is plain.

// Sends on one request handle before a proxy's sign-in is given up: enough
// for the legs of NTLM.
constexpr int MaxSendsPerRequest = 3;

// How one send of a request ended.
struct SendOutcome {
  bool throughProxy;
  // The secure channel to the service itself was up (always so for a direct
  // request): whatever came after it came from the service.
  bool tunnelUp;
  // The body was handed to WinHTTP for the service; from here on a failure
  // stands and nothing is sent again.
  bool bodyHandedOver;
  int error;        // 0 when a reply status was read
  unsigned status;  // the reply's status, when error is 0
  // A 407 aimed at the proxy that takes Negotiate or NTLM.
  bool proxyTakesLogon;
  // The user's logon has been offered to the proxy on this request.
  bool signingIn;
  int sends;  // sends made on this request so far, this one included
  // The headers went out, but the proxy's answer to them could not be read
  // (error holds why): nothing was tunnelled.
  bool answerUnread = false;
};

enum class NextStep {
  Answer,              // the reply stands: read it
  Fail,                // the error stands
  Resend,              // send again on the same handle
  SignIn,              // offer the user's logon to the proxy, then send again
  ProxyNotReached,     // nothing reached the service: go direct
  ProxySignInRefused,  // the proxy wants a sign-in it did not get: go direct
};

NextStep DecideAfterSend(const SendOutcome& outcome);
