#include "net/post_json.h"

#include <windows.h>
#include <malloc.h>
#include <winhttp.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/identity.h"
#include "net/proxy_answer.h"
#include "net/send_decision.h"
#include "tests/support/key_service.h"

namespace {

const char JsonBody[] = "{\"request\":\"validateKey\",\"client_version\":\"Version 3.06\"}";
const int ExtendedError = 1208;

struct PostOutcome {
  int result = -1;
  int status = -1;
  bool hasReply = false;
  std::string reply;  // the block's bytes before its final NUL
  size_t blockSize = 0;
  bool endsWithNul = false;
};

PostOutcome Post(const std::wstring& url, const std::string& body = JsonBody) {
  static char untouched;
  PostOutcome outcome;
  char* reply = &untouched;
  outcome.result = PostJson(url.c_str(), body.c_str(), &reply, &outcome.status);
  EXPECT_NE(reply, &untouched) << "the reply pointer was not reset";
  if (reply && reply != &untouched) {
    outcome.hasReply = true;
    outcome.blockSize = _msize(reply);
    if (outcome.blockSize > 0) {
      outcome.reply.assign(reply, outcome.blockSize - 1);
      outcome.endsWithNul = reply[outcome.blockSize - 1] == '\0';
    }
    std::free(reply);
  }
  return outcome;
}

std::string BinaryText(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + 3) % 256);
  return text;
}

// What WinHttpCrackUrl itself reports for a URL it refuses.
int CrackErrorOf(const std::wstring& url) {
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  SetLastError(0);
  if (WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return 0;
  const DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : static_cast<int>(0x800C0002);
}

// Whether this platform decodes compressed replies for WinHTTP (Windows 8.1
// and later do; Wine and older Windows refuse the option).
bool PlatformDecompresses() {
  HINTERNET session =
      WinHttpOpen(L"probe", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection = session ? WinHttpConnect(session, L"127.0.0.1", 443, 0) : nullptr;
  HINTERNET request = connection ? WinHttpOpenRequest(connection, L"POST", L"/", nullptr, WINHTTP_NO_REFERER,
                                                      WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                 : nullptr;
  DWORD flags = WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
  const bool accepted = request && WinHttpSetOption(request, WINHTTP_OPTION_DECOMPRESSION, &flags, sizeof(flags));
  for (HINTERNET handle : {request, connection, session})
    if (handle) WinHttpCloseHandle(handle);
  return accepted;
}

class PostJsonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KeyServiceReset();
    connectionsBefore_ = KeyServiceConnectionsAccepted();
  }
  int NewConnections() const { return KeyServiceConnectionsAccepted() - connectionsBefore_; }

  int connectionsBefore_ = 0;
};

TEST_F(PostJsonTest, ActsOnEveryReplyStatus) {
  struct Case {
    int status;
    const char* location;  // null: no Location header
    int result;
    int statusOut;
    bool bodyReturned;
  };
  const Case cases[] = {
      {200, nullptr, 0, 200, true},
      {201, nullptr, 0, 200, true},
      {400, nullptr, 0, 200, true},
      {301, "/moved", 0, 200, true},
      {302, "https://127.0.0.1/elsewhere", 0, 200, true},
      {301, nullptr, ExtendedError, 500, false},
      {302, nullptr, ExtendedError, 500, false},
      {202, nullptr, ExtendedError, 202, false},
      {303, "/other", ExtendedError, 303, false},
      {307, "/temporary", ExtendedError, 307, false},
      {401, nullptr, ExtendedError, 401, false},
      {404, nullptr, ExtendedError, 404, false},
      {500, nullptr, ExtendedError, 500, false},
      {503, nullptr, ExtendedError, 503, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "status " << c.status << (c.location ? " with Location" : ""));
    KeyServiceReset();
    KeyServiceReply reply;
    reply.status = c.status;
    reply.body = "{\"status\":" + std::to_string(c.status) + "}";
    if (c.location) reply.headers.emplace_back("Location", c.location);
    KeyServiceQueueReply(reply);

    const PostOutcome outcome = Post(KeyServiceUrl(L"/api/keys"));
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.status, c.statusOut);
    EXPECT_EQ(outcome.hasReply, c.bodyReturned);
    if (c.bodyReturned) {
      EXPECT_EQ(outcome.reply, reply.body);
    }
    // Redirects are never followed: the service sees the one request only.
    const std::vector<RecordedRequest> requests = KeyServiceRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/api/keys");
  }
}

TEST_F(PostJsonTest, StatusPointerMayBeNull) {
  KeyServiceQueueReply(404, "{}");
  char* reply = nullptr;
  EXPECT_EQ(PostJson(KeyServiceUrl(L"/").c_str(), JsonBody, &reply, nullptr), ExtendedError);
  EXPECT_EQ(reply, nullptr);
  KeyServiceQueueReply(200, "{}");
  EXPECT_EQ(PostJson(KeyServiceUrl(L"/").c_str(), JsonBody, &reply, nullptr), 0);
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(reply, "{}");
  std::free(reply);
}

TEST_F(PostJsonTest, SendsTheFixedRequest) {
  KeyServiceQueueReply(200, "{}");
  const PostOutcome outcome = Post(KeyServiceUrl(L"/api/v1/key"));
  ASSERT_EQ(outcome.result, 0);

  const std::vector<RecordedRequest> requests = KeyServiceRequests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/api/v1/key");
  EXPECT_EQ(request.body, JsonBody);
  EXPECT_EQ(request.Header("Content-Length"), std::to_string(std::strlen(JsonBody)));
  EXPECT_EQ(request.Header("User-Agent"), "Verdanto Client");
  EXPECT_EQ(request.Header("Pragma"), "no-cache") << "a cached reply must never be used";

  char clientIp[ClientTextSize];
  GetClientIpAddress(clientIp);
  EXPECT_EQ(request.HeaderCount("Accept"), 1);
  EXPECT_EQ(request.Header("Accept"), "application/json");
  EXPECT_EQ(request.HeaderCount("Content-Type"), 1);
  EXPECT_EQ(request.Header("Content-Type"), "application/json");
  EXPECT_EQ(request.HeaderCount("vrd-clientid"), 1);
  EXPECT_EQ(request.Header("vrd-clientid"), clientIp);
  // Compressed replies may only be offered when the platform decodes them.
  if (PlatformDecompresses()) {
    // The platform may add a copy of its own when it decodes replies.
    EXPECT_GE(request.HeaderCount("Accept-Encoding"), 1);
    EXPECT_EQ(request.Header("Accept-Encoding"), "gzip, deflate");
  } else {
    EXPECT_EQ(request.HeaderCount("Accept-Encoding"), 0) << request.Header("Accept-Encoding");
  }
}

TEST_F(PostJsonTest, SendsTheBodyByteForByte) {
  std::string everyByte;
  for (int byte = 1; byte < 256; ++byte) everyByte += static_cast<char>(byte);
  std::string large(300 * 1024, 'x');
  for (size_t i = 0; i < large.size(); i += 101) large[i] = static_cast<char>('a' + i % 26);
  const std::string bodies[] = {everyByte, "{\"name\":\"Ren\xc3\xa9\"}", large, ""};
  for (const std::string& body : bodies) {
    SCOPED_TRACE(testing::Message() << "body of " << body.size() << " bytes");
    KeyServiceReset();
    KeyServiceQueueReply(200, "{}");
    EXPECT_EQ(Post(KeyServiceUrl(L"/"), body).result, 0);
    const std::vector<RecordedRequest> requests = KeyServiceRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("Content-Length"), std::to_string(body.size()));
    EXPECT_TRUE(requests[0].body == body) << "the body arrived altered";
  }
}

TEST_F(PostJsonTest, AlwaysUsesTlsOnPort443) {
  // The service speaks TLS on port 443 only: any other port or a plain
  // connection would never reach it.
  const std::wstring host = KeyServiceHost();
  const std::wstring urls[] = {
      L"https://" + host + L":8443/port",
      L"http://" + host + L"/plain",
      L"http://" + host + L":80/plain-port",
  };
  for (const std::wstring& url : urls) {
    SCOPED_TRACE(testing::Message() << "URL " << std::string(url.begin(), url.end()));
    KeyServiceReset();
    KeyServiceQueueReply(200, "{\"ok\":true}");
    const PostOutcome outcome = Post(url);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.status, 200);
    EXPECT_EQ(outcome.reply, "{\"ok\":true}");
    const std::vector<RecordedRequest> requests = KeyServiceRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, std::string(url.begin() + url.find_last_of(L'/'), url.end()));
  }
}

// The host name with a zero before its last number: the same address, but a
// name of its own, so that no pooled connection of an earlier test is reused.
std::wstring FreshSpellingOf(const std::wstring& host) {
  const size_t lastDot = host.find_last_of(L'.');
  return host.substr(0, lastDot + 1) + L"0" + host.substr(lastDot + 1);
}

TEST_F(PostJsonTest, AcceptsAnUntrustedCertificate) {
  // The service's certificate is self-signed and names another host. Without
  // the security flags the platform refuses it, so the test is meaningful.
  const std::wstring host = FreshSpellingOf(KeyServiceHost());
  HINTERNET session =
      WinHttpOpen(L"probe", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  ASSERT_NE(session, nullptr);
  HINTERNET connection = WinHttpConnect(session, host.c_str(), 443, 0);
  HINTERNET request = WinHttpOpenRequest(connection, L"POST", L"/strict", nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
  const BOOL strictSent =
      WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
  const DWORD strictError = GetLastError();
  WinHttpCloseHandle(request);
  WinHttpCloseHandle(connection);
  WinHttpCloseHandle(session);
  EXPECT_FALSE(strictSent);
  EXPECT_TRUE(strictError == ERROR_WINHTTP_SECURE_FAILURE || strictError == ERROR_WINHTTP_SECURE_INVALID_CA ||
              strictError == ERROR_WINHTTP_SECURE_CHANNEL_ERROR)
      << strictError;

  KeyServiceQueueReply(200, "{\"trusted\":false}");
  const PostOutcome outcome = Post(L"https://" + host + L"/lenient");
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.reply, "{\"trusted\":false}");
}

TEST_F(PostJsonTest, HandsBackTheBodyWithOneNulAfterIt) {
  const size_t sizes[] = {1, 2, 17, 4095, 4096, 4097, 65536, 300001};
  for (size_t size : sizes) {
    SCOPED_TRACE(testing::Message() << size << " bytes");
    KeyServiceReset();
    const std::string body = BinaryText(size);
    KeyServiceQueueReply(200, body);
    const PostOutcome outcome = Post(KeyServiceUrl(L"/"));
    EXPECT_EQ(outcome.result, 0);
    ASSERT_TRUE(outcome.hasReply);
    EXPECT_EQ(outcome.blockSize, size + 1);
    EXPECT_TRUE(outcome.endsWithNul);
    EXPECT_TRUE(outcome.reply == body) << "the reply arrived altered";
  }
}

TEST_F(PostJsonTest, EmptyBodyGivesNoReply) {
  const int statuses[] = {200, 201, 400};
  for (int status : statuses) {
    SCOPED_TRACE(testing::Message() << "status " << status);
    KeyServiceQueueReply(status, "");
    const PostOutcome outcome = Post(KeyServiceUrl(L"/"));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.status, 200);
    EXPECT_FALSE(outcome.hasReply);
  }
}

TEST_F(PostJsonTest, ReadsBodiesThatEndOddly) {
  struct Case {
    const char* what;
    KeyServiceReply reply;
    std::string expected;
  };
  KeyServiceReply cutOff;
  cutOff.body = "{\"partial\":\"the rest never com";
  cutOff.declaredLength = 1000;
  KeyServiceReply closeDelimited;
  closeDelimited.body = BinaryText(70000);
  closeDelimited.noLength = true;
  KeyServiceReply slow;
  slow.body = "{\"slow\":true}";
  slow.delayMs = 1500;
  const Case cases[] = {
      {"cut off part-way: the bytes received so far", cutOff, cutOff.body},
      {"ended by closing the connection", closeDelimited, closeDelimited.body},
      {"slow to answer", slow, slow.body},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KeyServiceQueueReply(c.reply);
    const PostOutcome outcome = Post(KeyServiceUrl(L"/"));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.status, 200);
    EXPECT_TRUE(outcome.reply == c.expected) << outcome.reply.size() << " bytes came back";
  }
}

TEST_F(PostJsonTest, RefusesRepliesAboveTheCap) {
  struct Case {
    size_t size;
    bool noLength;
    int result;
  };
  const Case cases[] = {
      {PostJsonMaxReplyBytes, false, 0},
      {PostJsonMaxReplyBytes + 1, false, PostJsonReplyTooLarge},
      {PostJsonMaxReplyBytes + 1, true, PostJsonReplyTooLarge},
      {4 * PostJsonMaxReplyBytes, true, PostJsonReplyTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes" << (c.noLength ? ", no length" : ""));
    KeyServiceReply reply;
    reply.body = BinaryText(c.size);
    reply.noLength = c.noLength;
    KeyServiceQueueReply(reply);
    const PostOutcome outcome = Post(KeyServiceUrl(L"/"));
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.status, c.result == 0 ? 200 : 500);
    EXPECT_EQ(outcome.hasReply, c.result == 0);
    if (c.result == 0) {
      EXPECT_EQ(outcome.blockSize, c.size + 1);
    }
  }
}

TEST_F(PostJsonTest, RefusesAUrlThatCannotBeCrackedBeforeConnecting) {
  const std::wstring urls[] = {L"not a url", L"", L"ftp://127.0.0.1/x", L"https://", L"https://127.0.0.1:99999/p"};
  for (const std::wstring& url : urls) {
    SCOPED_TRACE(testing::Message() << "URL '" << std::string(url.begin(), url.end()) << "'");
    const int expected = CrackErrorOf(url);
    ASSERT_NE(expected, 0);
    const PostOutcome outcome = Post(url);
    EXPECT_EQ(outcome.result, expected);
    EXPECT_EQ(outcome.status, 500);
    EXPECT_FALSE(outcome.hasReply);
  }
  EXPECT_EQ(NewConnections(), 0);
  EXPECT_TRUE(KeyServiceRequests().empty());
}

TEST_F(PostJsonTest, HostAndPathLimits) {
  // Zeros before the last number of the service's address leave the address
  // unchanged (a leading zero means octal, hence a single digit below 8)
  // while making the host name 255 characters long.
  const std::wstring host = KeyServiceHost();
  const size_t lastDot = host.find_last_of(L'.');
  ASSERT_EQ(host.size() - lastDot, 2u) << "needs an address ending in a single digit";
  ASSERT_LT(host.back(), L'8') << "needs an address ending in a single digit below 8";
  const std::wstring longHost = host.substr(0, lastDot + 1) + std::wstring(255 - host.size(), L'0') + host.back();
  ASSERT_EQ(longHost.size(), 255u);
  const std::wstring longPath = L"/" + std::wstring(254, L'p');

  // Exactly 255 characters are accepted and reach the service unchanged.
  KeyServiceQueueReply(200, "{\"host\":255}");
  PostOutcome outcome = Post(L"https://" + longHost + L"/host");
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.reply, "{\"host\":255}");
  KeyServiceQueueReply(200, "{\"path\":255}");
  outcome = Post(KeyServiceUrl(longPath));
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.reply, "{\"path\":255}");
  std::vector<RecordedRequest> requests = KeyServiceRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Header("Host"), std::string(longHost.begin(), longHost.end()));
  EXPECT_EQ(requests[1].path, std::string(longPath.begin(), longPath.end()));

  // One more is refused before any connection is made.
  KeyServiceReset();
  const int connections = KeyServiceConnectionsAccepted();
  const std::wstring tooLong[] = {
      L"https://" + longHost + L"0/host",
      KeyServiceUrl(longPath + L"p"),
      L"https://" + std::wstring(300, L'h') + L"/" + std::wstring(3000, L'p'),
  };
  for (const std::wstring& url : tooLong) {
    SCOPED_TRACE(testing::Message() << "URL of " << url.size() << " characters");
    outcome = Post(url);
    EXPECT_EQ(outcome.result, PostJsonUrlPartTooLong);
    EXPECT_EQ(outcome.status, 500);
    EXPECT_FALSE(outcome.hasReply);
  }
  EXPECT_EQ(KeyServiceConnectionsAccepted(), connections);
  EXPECT_TRUE(KeyServiceRequests().empty());
}

TEST_F(PostJsonTest, ReportsWhereTheExchangeBroke) {
  // Nothing listens on 127.0.0.9.
  PostOutcome outcome = Post(L"https://127.0.0.9/api");
  EXPECT_EQ(outcome.result, ERROR_WINHTTP_CANNOT_CONNECT);
  EXPECT_EQ(outcome.status, 500);
  EXPECT_FALSE(outcome.hasReply);

  // The request arrives but no valid response comes back.
  KeyServiceReply dropped;
  dropped.dropConnection = true;
  KeyServiceReply garbage;
  garbage.raw = "garbage\r\n\r\n";
  for (const KeyServiceReply& reply : {dropped, garbage}) {
    SCOPED_TRACE(reply.dropConnection ? "connection dropped" : "not an HTTP reply");
    KeyServiceReset();
    KeyServiceQueueReply(reply);
    outcome = Post(KeyServiceUrl(L"/api"));
    if (reply.dropConnection) {
      EXPECT_NE(outcome.result, 0);
    } else {
      EXPECT_EQ(outcome.result, ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    }
    EXPECT_EQ(outcome.status, 500);
    EXPECT_FALSE(outcome.hasReply);
    EXPECT_EQ(KeyServiceRequests().size(), 1u) << "result " << outcome.result;
  }
}

// What follows a send, row by row; most rows need a Windows network (a
// proxy's 407 handed up as a reply, NTLM's legs) that Wine cannot show.
TEST(PostJsonSendDecision, ChoosesTheNextStep) {
  const int Resend = ERROR_WINHTTP_RESEND_REQUEST, LoginFailure = ERROR_WINHTTP_LOGIN_FAILURE;
  struct Row {
    const char* name;
    SendOutcome outcome;  // proxy, tunnel, body out, error, status, logon taken, signing in, sends, answer unread
    NextStep next;
  } rows[] = {
      {"12032 with no tunnel", {true, false, false, Resend, 0, false, false, 1}, NextStep::Resend},
      {"12032 signing in, bound reached",
       {true, false, false, Resend, 0, false, true, 3},
       NextStep::ProxySignInRefused},
      {"12032 before any sign-in, bound reached",
       {true, false, false, Resend, 0, false, false, 3},
       NextStep::ProxyNotReached},
      {"12015 before the tunnel", {true, false, false, LoginFailure, 0, false, true, 2}, NextStep::ProxySignInRefused},
      {"407 on the first send", {true, false, false, 0, 407, true, false, 1}, NextStep::SignIn},
      {"407 asking for Basic", {true, false, false, 0, 407, false, false, 1}, NextStep::ProxySignInRefused},
      {"407 on the second send", {true, false, false, 0, 407, true, true, 2}, NextStep::ProxySignInRefused},
      {"407 with a tunnel", {true, true, true, 0, 407, false, false, 1}, NextStep::Answer},
      {"401 with a tunnel", {true, true, true, 0, 401, false, true, 2}, NextStep::Answer},
      {"403 with no tunnel", {true, false, false, 0, 403, false, false, 1}, NextStep::ProxyNotReached},
      {"502 with no tunnel", {true, false, false, 0, 502, false, false, 1}, NextStep::ProxyNotReached},
      {"proxy down", {true, false, false, ERROR_WINHTTP_CANNOT_CONNECT, 0, false, false, 1}, NextStep::ProxyNotReached},
      {"proxy's answer not read in time",
       {true, false, false, ERROR_WINHTTP_TIMEOUT, 0, false, true, 2, true},
       NextStep::ProxyNotReached},
      {"failure after the body went out",
       {true, true, true, ERROR_WINHTTP_TIMEOUT, 0, false, false, 1},
       NextStep::Fail},
      {"12032 after the body went out", {true, true, true, Resend, 0, false, false, 1}, NextStep::Fail},
      {"pin mismatch in the tunnel",
       {true, true, false, PostJsonServerKeyMismatch, 0, false, false, 1},
       NextStep::Fail},
      {"direct, 12032", {false, true, false, Resend, 0, false, false, 1}, NextStep::Resend},
      {"direct, 12032 bound reached", {false, true, false, Resend, 0, false, false, 3}, NextStep::Fail},
      {"direct, cannot connect",
       {false, true, false, ERROR_WINHTTP_CANNOT_CONNECT, 0, false, false, 1},
       NextStep::Fail},
      {"direct, 401", {false, true, true, 0, 401, false, false, 1}, NextStep::Answer},
  };
  for (const Row& row : rows)
    EXPECT_EQ(static_cast<int>(DecideAfterSend(row.outcome)), static_cast<int>(row.next)) << row.name;
}

// A service that waits for the declared body stands in for a WinHTTP that
// waits for it: the read ends at the bound, not when the service gives up
// (30 s), and the request gets its own time-outs back.
TEST_F(PostJsonTest, ProxyAnswerIsAwaitedBriefly) {
  HINTERNET session =
      WinHttpOpen(L"probe", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection = WinHttpConnect(session, KeyServiceHost().c_str(), 443, 0);
  HINTERNET request = WinHttpOpenRequest(connection, L"POST", L"/api", nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
  ASSERT_NE(request, nullptr);
  const DWORD options[] = {WINHTTP_OPTION_SECURITY_FLAGS, WINHTTP_OPTION_RECEIVE_TIMEOUT,
                           WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT};
  DWORD values[] = {0x3300, 41000, 43000};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(WinHttpSetOption(request, options[i], &values[i], sizeof(DWORD)));
  ASSERT_TRUE(WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 10, 0));
  const ULONGLONG start = GetTickCount64();
  // Wine 8 hands up the socket's own WSAETIMEDOUT.
  const int read = ReceiveProxyAnswer(request);
  EXPECT_TRUE(read == ERROR_WINHTTP_TIMEOUT || read == WSAETIMEDOUT) << read;
  EXPECT_LT(GetTickCount64() - start, ProxyAnswerWaitMs + 15000);
  for (int i = 1; i < 3; ++i) {
    DWORD value = 0, size = sizeof(value);
    EXPECT_TRUE(WinHttpQueryOption(request, options[i], &value, &size));
    EXPECT_EQ(value, values[i]) << "option " << options[i];
  }
  for (HINTERNET handle : {request, connection, session}) WinHttpCloseHandle(handle);
  // Recorded once the connection ends, before the next test resets the service.
  const std::vector<RecordedRequest> requests = KeyServiceWaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].bodyComplete);
}

TEST_F(PostJsonTest, CompressibleReplyArrivesAsPlainText) {
  // The service compresses only when the request offers to take gzip.
  KeyServiceReply reply;
  reply.body = "{\"key\":\"" + std::string(500, 'k') + "\"}";
  reply.encoding = KeyServiceEncoding::GzipIfAccepted;
  KeyServiceQueueReply(reply);
  const PostOutcome outcome = Post(KeyServiceUrl(L"/"));
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.reply, reply.body);
}

TEST_F(PostJsonTest, GzipReplyComesBackDecoded) {
  if (!PlatformDecompresses())
    GTEST_SKIP() << "this platform refuses WINHTTP_OPTION_DECOMPRESSION (Wine, Windows before "
                    "8.1), so WinHTTP cannot decode a compressed reply; PostJson then does not "
                    "offer gzip (CompressibleReplyArrivesAsPlainText)";
  KeyServiceReply reply;
  reply.body = "{\"key\":\"" + std::string(500, 'z') + "\"}";
  reply.encoding = KeyServiceEncoding::GzipIfAccepted;
  KeyServiceQueueReply(reply);
  const PostOutcome outcome = Post(KeyServiceUrl(L"/"));
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.reply, reply.body);
  const std::vector<RecordedRequest> requests = KeyServiceRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("Accept-Encoding"), "gzip, deflate") << "nothing was compressed";
}

}  // namespace
