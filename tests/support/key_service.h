#pragma once
// Scripting the test key service (tests/keyservice/keyservice.py) from
// Windows test code.
//
// The service listens with a self-signed certificate on port 443 of a loopback
// address and is started and stopped by the CTest fixture "keyservice": a test
// that uses it names that fixture (tollbury_add_test(... FIXTURES keyservice)).
// Each request takes the next queued reply, in order; with none queued the
// service answers 503 "no reply queued". Every request is recorded before its
// reply is sent, so a request is visible here as soon as the client has its
// answer.
//
// The control directory comes from the environment variable
// TOLLBURY_KEYSERVICE_DIR (a Windows path) when it is set, otherwise from the
// "keyservice" folder of the build tree that holds the running test program.
// Failures to reach it are reported as GoogleTest failures.
//
// Typical use:
//   KeyServiceReset();
//   KeyServiceQueueReply(200, "{\"valid\":true}");
//   ... run the code under test against KeyServiceUrl(L"/api/keys") ...
//   std::vector<RecordedRequest> requests = KeyServiceRequests();

#include <string>
#include <utility>
#include <vector>

enum class KeyServiceEncoding {
  Plain,
  GzipIfAccepted,  // gzip the body only when the request's Accept-Encoding names gzip
  GzipAlways,      // gzip the body whatever the request asked for
};

// One scripted reply. The defaults give "200 OK" with an empty body and a
// truthful Content-Length.
struct KeyServiceReply {
  int status = 200;
  std::string body;                                          // bytes, sent as they are
  std::vector<std::pair<std::string, std::string>> headers;  // e.g. {"Location", "/x"}
  KeyServiceEncoding encoding = KeyServiceEncoding::Plain;
  long long declaredLength = -1;  // >= 0: Content-Length to claim; above the real
                                  // length the connection closes after the body
  bool noLength = false;          // no Content-Length; closing the connection ends the body
  int delayMs = 0;                // wait this long before answering
  bool dropConnection = false;    // close the connection without any answer
  std::string raw;                // non-empty: send these bytes instead of a reply, then close
};

// One request as the service received it.
struct RecordedRequest {
  std::string method;
  std::string path;                                          // the request target as sent, e.g. "/api/keys"
  std::vector<std::pair<std::string, std::string>> headers;  // in order received
  std::string body;                                          // bytes as received
  bool bodyComplete = true;  // false: the connection ended before Content-Length bytes came

  // Number of headers with this name (case-insensitive), and the first one's value.
  int HeaderCount(const std::string& name) const;
  std::string Header(const std::string& name) const;  // "" when absent
};

// Forgets queued replies and recorded requests.
void KeyServiceReset();

// Queues one reply; replies are given in the order queued.
void KeyServiceQueueReply(const KeyServiceReply& reply);
void KeyServiceQueueReply(int status, const std::string& body);

// Every request recorded since the last reset, oldest first.
std::vector<RecordedRequest> KeyServiceRequests();

// Waits (bounded) until at least `count` requests are recorded: a request
// whose client gave up mid-way is recorded only once the connection ends.
std::vector<RecordedRequest> KeyServiceWaitForRequests(size_t count, unsigned timeoutMs = 10000);

// The pin of the service's key, "sha256//<base64>", computed with openssl.
std::string KeyServicePin();

// New connections get the leaf that the service's test CA (ca.pem in the
// control directory) issued for CN=<address>, with the same key; false goes
// back to the self-signed certificate.
void KeyServiceUseCaSignedCertificate(bool caSigned);

// TCP connections the service has accepted since it started. WinHTTP keeps
// idle connections for reuse, so a new request need not open a new one.
int KeyServiceConnectionsAccepted();

// The service's address, e.g. L"127.0.0.1", and an https URL on it.
std::wstring KeyServiceHost();
std::wstring KeyServiceUrl(const std::wstring& path = L"/");

// The control directory as a Windows path, without a trailing backslash.
std::wstring KeyServiceDirectory();
