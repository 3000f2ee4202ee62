// Pin lists, and PostJson with pins and with full certificate validation
// against the test key service.

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/post_json.h"
#include "net/server_pins.h"
#include "tests/support/key_service.h"

namespace {

const char Body[] = "{\"command\":\"getKey\",\"user\":\"alice\",\"pw\":\"secret\"}";
// A well-formed pin of no real key.
const std::string OtherPin = "sha256//" + std::string(43, 'A') + "=";

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

ServerTrust Trust(bool verify, const std::string& pinList) {
  ServerTrust trust = {};
  trust.sessionName = L"vrd";
  trust.verifyCertificate = verify;
  if (!pinList.empty()) {
    trust.pinned = true;
    wchar_t problem[PinProblemSize];
    trust.pinsMalformed = !ParseServerKeyPins(Widen(pinList).c_str(), trust.pins, problem);
  }
  return trust;
}

int Post(const std::wstring& url, const ServerTrust& trust, std::string* reply = nullptr, int* status = nullptr,
         const std::string& body = Body) {
  char* block = nullptr;
  int statusOut = 0;
  const int result = PostJson(url.c_str(), body.c_str(), &block, &statusOut, &trust);
  if (reply) *reply = block ? block : "";
  if (status) *status = statusOut;
  std::free(block);
  return result;
}

TEST(ServerKeyPins, ReadsListsAndSaysWhatIsWrong) {
  const std::string pin = "sha256//47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";  // SHA-256 of ""
  const struct {
    std::string text;
    int count;  // -1: refused
    const wchar_t* problem;
  } cases[] = {
      {pin, 1, L""},
      {OtherPin + ";" + pin, 2, L""},
      {" " + pin + "\t; ;" + OtherPin + ";", 2, L""},
      {"", -1, L"it holds no pin"},
      {"sha1//" + pin.substr(8), -1, L"pin 1 does not begin with sha256//"},
      {OtherPin + ";SHA256//" + pin.substr(8), -1, L"pin 2 does not begin with sha256//"},
      {pin.substr(0, 51), -1, L"pin 1 is not the base64 text of a SHA-256 digest (44 characters)"},
      {pin.substr(0, 50) + "*=", -1, L"pin 1 is not the base64 text of a SHA-256 digest (44 characters)"},
      // Same bits but for the two that 32 bytes leave over: not canonical.
      {pin.substr(0, 50) + "V=", -1, L"pin 1 is not the base64 text of a SHA-256 digest (44 characters)"},
      {pin.substr(0, 8) + " " + pin.substr(8), -1, L"pin 1 is not the base64 text of a SHA-256 digest (44 characters)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ServerKeyPins pins;
    wchar_t problem[PinProblemSize];
    EXPECT_EQ(ParseServerKeyPins(Widen(c.text).c_str(), pins, problem), c.count >= 0);
    EXPECT_STREQ(problem, c.problem);
    if (c.count >= 0) {
      EXPECT_EQ(pins.count, c.count);
    }
  }

  std::string many;
  for (int i = 0; i < MaxServerKeyPins; ++i) many += OtherPin + ";";
  ServerKeyPins pins;
  wchar_t problem[PinProblemSize];
  EXPECT_TRUE(ParseServerKeyPins(Widen(many).c_str(), pins, problem));
  EXPECT_FALSE(ParseServerKeyPins(Widen(many + pin).c_str(), pins, problem));
  EXPECT_STREQ(problem, L"it holds more than 16 pins");
}

TEST(PinnedPostJson, SendsTheBodyOnlyToAPinnedKey) {
  const std::string servicePin = KeyServicePin();
  const std::string large(300 * 1024, 'x');
  const struct {
    const char* what;
    std::string pins;
    int result;
    std::string body;
  } cases[] = {
      {"the service's pin", servicePin, 0, Body},
      {"second pin of a list, large body", OtherPin + ";" + servicePin, 0, large},
      {"empty body", servicePin, 0, ""},
      {"wrong pin", OtherPin, PostJsonServerKeyMismatch, Body},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    KeyServiceReset();
    KeyServiceQueueReply(200, "{\"ok\":true}");
    std::string reply;
    int status = 0;
    EXPECT_EQ(Post(KeyServiceUrl(L"/keys"), Trust(false, c.pins), &reply, &status, c.body), c.result);
    if (c.result == 0) {
      EXPECT_EQ(reply, "{\"ok\":true}");
      const std::vector<RecordedRequest> requests = KeyServiceRequests();
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_TRUE(requests[0].body == c.body) << requests[0].body.size() << " bytes arrived";
      EXPECT_EQ(requests[0].Header("Content-Length"), std::to_string(c.body.size()));
    } else {
      // The headers went out, announcing the body; not one byte of it followed.
      EXPECT_EQ(status, 500);
      const std::vector<RecordedRequest> requests = KeyServiceWaitForRequests(1);
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].Header("Content-Length"), std::to_string(sizeof(Body) - 1));
      EXPECT_FALSE(requests[0].bodyComplete);
      EXPECT_EQ(requests[0].body, "");
    }
  }
}

// The service's test CA in the LocalMachine Root store while the object
// lives.
struct TrustedTestCa {
  HCERTSTORE store = nullptr;
  const CERT_CONTEXT* added = nullptr;

  TrustedTestCa() {
    FILE* file = _wfopen((KeyServiceDirectory() + L"\\ca.pem").c_str(), L"rb");
    if (!file) return;
    char pem[8192];
    const size_t size = std::fread(pem, 1, sizeof(pem), file);
    std::fclose(file);
    BYTE der[8192];
    DWORD derSize = sizeof(der);
    if (!CryptStringToBinaryA(pem, static_cast<DWORD>(size), CRYPT_STRING_BASE64HEADER, der, &derSize, nullptr,
                              nullptr))
      return;
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, derSize,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, &added))
      CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);  // Wine writes it out only then
  }
  ~TrustedTestCa() {
    if (added && CertDeleteCertificateFromStore(added)) CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    if (store) CertCloseStore(store, 0);
  }
};

// Runs in a process of its own, for two reasons: the platform reads the Root
// store once, when it first validates a chain, so the test CA goes in first;
// and every exchange here opens a new connection (a refused handshake leaves
// none to reuse), so each one shows the certificate presented at that moment.
TEST(VerifiedPostJson, ValidatesTheChainAndTheHostName) {
  KeyServiceReset();
  const std::wstring host = KeyServiceHost();
  const std::string servicePin = KeyServicePin();
  // The platform refuses the certificate: 12175 on Windows, 12157 under Wine.
  const auto refused = [](int result) {
    return result == ERROR_WINHTTP_SECURE_FAILURE || result == ERROR_WINHTTP_SECURE_CHANNEL_ERROR ||
           result == ERROR_WINHTTP_SECURE_INVALID_CA || result == ERROR_WINHTTP_SECURE_CERT_CN_INVALID;
  };
  TrustedTestCa ca;
  ASSERT_NE(ca.added, nullptr) << "cannot add the test CA to the LocalMachine Root store";

  const int selfSigned = Post(KeyServiceUrl(L"/keys"), Trust(true, ""));
  EXPECT_TRUE(refused(selfSigned)) << "self-signed: " << selfSigned;
  KeyServiceUseCaSignedCertificate(true);
  // The leaf names the address in its common name, not this spelling of it.
  const size_t lastDot = host.find_last_of(L'.');
  const std::wstring otherName = L"https://" + host.substr(0, lastDot + 1) + L"0" + host.substr(lastDot + 1) + L"/keys";
  const int wrongName = Post(otherName, Trust(true, servicePin));
  EXPECT_TRUE(refused(wrongName)) << "issued for another name: " << wrongName;
  EXPECT_TRUE(KeyServiceRequests().empty()) << "nothing may reach a service that fails validation";

  KeyServiceQueueReply(200, "{\"ok\":true}");
  std::string reply;
  EXPECT_EQ(Post(KeyServiceUrl(L"/keys"), Trust(true, OtherPin + ";" + servicePin), &reply), 0);
  EXPECT_EQ(reply, "{\"ok\":true}");
  KeyServiceUseCaSignedCertificate(false);
  const std::vector<RecordedRequest> requests = KeyServiceRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, Body);
}

}  // namespace
