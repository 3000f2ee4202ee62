// The key exchange behind the user's proxy: proxy lists and bypass lists as
// the settings write them, and the real tollbury.exe validating its keys
// through the test proxy (tests/keyservice/connect_proxy.py), with the user's
// settings in the registry value that WinHTTP reads them from.
//
// The proxy tunnels TOLLBURY_PROXY_ONLY_ADDRESS, where nothing listens, to the
// key service: a service reached at that address was reached through the proxy.

#include "net/proxy.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/credui_control.h"
#include "tests/support/key_service.h"
#include "tests/support/machine.h"
#include "tests/support/user_proxy.h"

namespace {

using Lines = std::vector<std::wstring>;

TEST(ProxyLists, HttpsProxyIsPickedFromTheList) {
  struct Case {
    const wchar_t* list;
    const wchar_t* proxy;  // "" when none fits
  } cases[] = {
      {L"proxy.corp:3128", L"proxy.corp:3128"},
      {L"proxy.corp", L"proxy.corp:80"},
      {L"http://proxy.corp:3128/", L"proxy.corp:3128"},
      {L"http=web:80;https=secure:8443;ftp=files:21", L"secure:8443"},
      {L"HTTPS=http://secure:8443 http=web:80", L"secure:8443"},
      {L"http=web:80;ftp=files:21", L""},  // no proxy for https: direct
      {L"a:1;b:2", L"a:1"},                // a script's list: the first
      {L"socks=s:1080;plain:8080", L"plain:8080"},
      {L"[::1]:8080", L"[::1]:8080"},
      {L"[::1]", L"[::1]:80"},
      {L"socks://s:1080", L""},
      {L" ; ", L""},
  };
  for (const Case& c : cases) {
    wchar_t proxy[ProxyNameSize];
    EXPECT_EQ(PickHttpsProxy(c.list, proxy), c.proxy[0] != L'\0') << WideToUtf8(c.list);
    EXPECT_EQ(std::wstring(proxy), c.proxy) << WideToUtf8(c.list);
  }
  wchar_t proxy[ProxyNameSize];
  const std::wstring tooLong(ProxyNameSize, L'a');
  EXPECT_FALSE(PickHttpsProxy(tooLong.c_str(), proxy));
  EXPECT_EQ(proxy[0], L'\0');
}

TEST(ProxyLists, BypassListExemptsMatchingHosts) {
  struct Case {
    const wchar_t* list;
    const wchar_t* host;
    bool bypassed;
  } cases[] = {
      {L"<local>", L"keys", true},
      {L"<local>", L"keys.corp", false},
      {L"<LOCAL>;*.corp", L"Keys.CORP", true},
      {L"*.corp", L"corp", false},
      {L"10.*, 192.168.*", L"10.1.2.3", true},
      {L"10.*  192.168.*", L"110.1.2.3", false},
      {L"keys.corp:443", L"keys.corp", true},
      {L"keys.corp:8443", L"keys.corp", false},
      {L"https://keys.corp", L"keys.corp", true},
      {L"k*s*.corp", L"keys.service.corp", true},
      {L"", L"keys", false},
      {L";;", L"keys", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ProxyBypassesHost(c.list, c.host), c.bypassed) << WideToUtf8(c.list) << " / " << WideToUtf8(c.host);
  for (const wchar_t* host : {L"LocalHost", L"127.0.0.1", L"127.255.0.99", L"[::1]", L"::1"})
    EXPECT_TRUE(IsLoopbackHost(host)) << WideToUtf8(host);
  for (const wchar_t* host :
       {L"128.0.0.1", L"127.0.0", L"127.0.0.1.5", L"127.0.0.256", L"localhost.corp", L"1270.0.0.1"})
    EXPECT_FALSE(IsLoopbackHost(host)) << WideToUtf8(host);
}

const std::string KeyContent = "abc";
const std::string UploadKeyContent = "message digest";
const std::string KeysGood = "{\"response\":\"PASS\",\"responseData\":{\"result\":true}}";
const std::string KeysBad = "{\"response\":\"FAIL\",\"responseData\":{\"result\":false}}";
const std::string KeysIssued = "{\"response\":\"PASS\",\"responseData\":{\"key\":\"bmV3\",\"uploadKey\":\"dXA=\"}}";
const wchar_t FoundRow[] = L"[tollbury] The vrd-key.ppk and vrd-upload-key.ppk files are found.  Must validate them.";
const wchar_t GoodRow[] = L"[tollbury] Server replied that keys are GOOD.  Using existing ones.";

// The single-user lines between entering the mode and starting the client,
// without the two digest lines.
Lines KeyLines(const LauncherRun& run) {
  Lines lines;
  bool inside = false;
  for (const std::wstring& line : run.lines) {
    if (line == L"[tollbury] Launching rudavuvav.exe") break;
    if (inside && line.compare(0, 4, L"vrd-") != 0) lines.push_back(line);
    if (line == L"[tollbury] Going into single user mode") inside = true;
  }
  return lines;
}

// What Wine traced of the key service requests: the logon policy set on
// each, and the sends that handed WinHTTP body bytes.
struct RequestTrace {
  int posts = 0;
  std::vector<std::string> logonPolicies;
  int sendsWithBody = 0;
};

RequestTrace TraceRequests(const std::string& trace) {
  RequestTrace traced;
  bool policyNext = false;
  for (size_t start = 0, end; (end = trace.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = trace.substr(start, end - start);
    if (line.find("WinHttpOpenRequest ") != std::string::npos && line.find("L\"POST\"") != std::string::npos) {
      ++traced.posts;
    } else if (line.find("WinHttpSetOption ") != std::string::npos) {
      policyNext = line.find(", 77, ") != std::string::npos;  // WINHTTP_OPTION_AUTOLOGON_POLICY
    } else if (policyNext && line.find(":request_set_option ") != std::string::npos) {
      traced.logonPolicies.push_back(line.substr(line.rfind(' ') + 1));
      policyNext = false;
    } else if (line.find("WinHttpSendRequest ") != std::string::npos &&
               line.find(", 0, 0000000000000000, 0, ") == std::string::npos) {
      ++traced.sendsWithBody;
    }
  }
  return traced;
}

const wchar_t PolicyKey[] = L"SOFTWARE\\Policies\\Verdanto\\Client\\Tollbury";

class KeyServiceThroughProxy : public ::testing::Test {
 protected:
  void SetUp() override {
    hadSettings_ = ReadUserSettings(savedSettings_);
    proxy_ = ProxyAddress();
    ASSERT_FALSE(proxy_.empty()) << "the proxy fixture is not running";
    onlyThroughProxy_ = WideToUtf8(Environment(L"TOLLBURY_PROXY_ONLY_ADDRESS"));
    ASSERT_FALSE(onlyThroughProxy_.empty());
    const std::string script = "function FindProxyForURL(url, host) {\n  if (host == \"" + onlyThroughProxy_ +
                               "\") return \"PROXY " + proxy_ + "\";\n  return \"DIRECT\";\n}\n";
    ASSERT_TRUE(WriteFileBytes(ProxyFile(L"proxy.pac"), script));
    DeleteFileW(ProxyFile(L"require_auth").c_str());
    SetRegDword(PolicyKey, L"ReportToEventLog", 1);
  }

  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, PolicyKey);
    DeleteFileW(ProxyFile(L"require_auth").c_str());
    if (hadSettings_) {
      WriteUserSettings(savedSettings_);
    } else {
      RemoveUserSettings();
    }
  }

  std::string ScriptUrl(const std::string& name) const { return "http://" + proxy_ + "/" + name; }
  std::string ProxyHost() const { return proxy_.substr(0, proxy_.rfind(':')); }

  std::string proxy_;
  std::string onlyThroughProxy_;

 private:
  bool hadSettings_ = false;
  std::string savedSettings_;
};

// One exchange per row: which way it went shows in the proxy's tunnels, the
// log lines and what the key service saw. Loopback hosts bypass the proxy
// unless the bypass list holds <-loopback>; that list comes with a static
// proxy, which the rows with a script set too (down, so never used).
TEST_F(KeyServiceThroughProxy, ValidationFindsItsWay) {
  const std::string service = WideToUtf8(KeyServiceHost());
  const std::string down = ProxyHost() + ":1";  // nothing listens there
  const std::wstring through = L"[tollbury] Reaching the key service through proxy ";
  const std::wstring direct = L".  Reaching the key service directly";
  const std::string tunnelled = onlyThroughProxy_ + ":443 -> " + service + ":443";
  const std::wstring viaProxy = through + Utf8ToWide(proxy_);
  enum Exchange { Validate, ValidateAndFetch, ReplyDropped };
  struct Row {
    const char* name;
    DWORD flags;
    std::string proxy, bypass, script;
    std::string host;
    bool requireAuth;
    Exchange exchange;
    Lines proxyLines;
    std::vector<std::string> tunnels;
    bool reachesService;
  } rows[] = {
      {"no proxy set", Direct, "", "", "", service, false, Validate, {}, {}, true},
      {"static proxy",
       StaticProxy,
       proxy_,
       "<local>;10.*;<-loopback>",
       "",
       onlyThroughProxy_,
       false,
       Validate,
       {viaProxy},
       {tunnelled},
       true},
      {"loopback bypassed", StaticProxy, proxy_, "<local>", "", service, false, Validate, {}, {}, true},
      {"host in the bypass list",
       StaticProxy,
       proxy_,
       "<local>;<-loopback>;" + service,
       "",
       service,
       false,
       Validate,
       {},
       {},
       true},
      {"proxy script",
       ProxyScript | StaticProxy,
       down,
       "<-loopback>",
       ScriptUrl("proxy.pac"),
       onlyThroughProxy_,
       false,
       Validate,
       {viaProxy},
       {tunnelled},
       true},
      {"proxy script answers DIRECT",
       ProxyScript | StaticProxy,
       down,
       "<-loopback>",
       ScriptUrl("proxy.pac"),
       service,
       false,
       Validate,
       {},
       {},
       true},
      {"proxy down",
       StaticProxy,
       down,
       "<-loopback>",
       "",
       service,
       false,
       Validate,
       {through + Utf8ToWide(down), L"[tollbury] The proxy could not be reached (error 12029)" + direct},
       {},
       true},
      // Not even asked: this script would fail with "could not be found".
      {"loopback bypassed by a script",
       ProxyScript,
       "",
       "",
       ScriptUrl("missing.pac"),
       service,
       false,
       Validate,
       {},
       {},
       true},
      // The tunnel was refused, so nothing of the body went out: one direct
      // send. Windows hands over the 407 and logs that the proxy asks for a
      // sign-in; Wine fails the send with 12157 instead.
      {"proxy asks for a sign-in",
       StaticProxy,
       proxy_,
       "<-loopback>",
       "",
       service,
       true,
       Validate,
       {viaProxy, L"[tollbury] The proxy could not be reached (error 12157)" + direct},
       {service + ":443 407"},
       true},
      // The body went through the tunnel: the failure stands, nothing is sent again.
      {"reply never comes",
       StaticProxy,
       proxy_,
       "<-loopback>",
       "",
       service,
       false,
       ReplyDropped,
       {viaProxy},
       {service + ":443 -> " + service + ":443"},
       true},
      // The second request of the start goes the way the first one ended up.
      {"given up once per start",
       StaticProxy,
       down,
       "<-loopback>",
       "",
       service,
       false,
       ValidateAndFetch,
       {through + Utf8ToWide(down), L"[tollbury] The proxy could not be reached (error 12029)" + direct},
       {},
       true},
  };
  PrepareInstall();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteUserSettings(ConnectionSettings(row.flags, row.proxy, row.bypass, row.script));
    if (row.requireAuth) {
      ASSERT_TRUE(WriteFileBytes(ProxyFile(L"require_auth"), ""));
    }
    DeleteFileW(ProxyFile(L"tunnels.log").c_str());
    SetUpPlainMachine();
    SetRegDword(SessionKey(L"vrd"), L"SingleUser", 1);
    SetRegString(SessionKey(L"vrd"), L"Server", L"https://" + Utf8ToWide(row.host) + L"/keys");
    ResetClientRoot();
    AddVersionDir(L"1.2.3");
    ASSERT_TRUE(WriteFileBytes(ClientRoot() + L"vrd-key.ppk", KeyContent));
    ASSERT_TRUE(WriteFileBytes(ClientRoot() + L"vrd-upload-key.ppk", UploadKeyContent));
    KeyServiceReset();
    Lines expected = {FoundRow};
    expected.insert(expected.end(), row.proxyLines.begin(), row.proxyLines.end());
    if (row.exchange == ReplyDropped) {
      KeyServiceReply dropped;
      dropped.dropConnection = true;
      KeyServiceQueueReply(dropped);
    } else if (row.exchange == ValidateAndFetch) {
      InstallCredUiStandIn({ConfirmWith(L"alice", L"secret")});
      KeyServiceQueueReply(200, KeysBad);
      KeyServiceQueueReply(200, KeysIssued);
      expected.insert(expected.end(),
                      {L"[tollbury] Server replied that keys are BAD.  Must fetch new ones.",
                       L"[tollbury] Prompting for password and fetching remote key",
                       L"[tollbury] Successfully wrote out key file", L"[tollbury] Successfully wrote out key file"});
    } else {
      KeyServiceQueueReply(200, KeysGood);
      if (row.reachesService) expected.push_back(GoodRow);
    }

    const LauncherRun run = RunLauncher(L"-no_upgrade", 90000, L"-all,+eventlog,fixme+advapi,+winhttp");
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(KeyLines(run), expected);
    EXPECT_EQ(Tunnels(), row.tunnels);
    // With the policy on, each way round the proxy is a warning (ID 0x15) in the event log.
    std::vector<std::string> warnings, expectedWarnings;
    for (const std::string& event : ReportedEvents(run.wineTrace))
      if (event[0] == '2') warnings.push_back(event);
    for (size_t i = 1; i < row.proxyLines.size(); ++i)
      expectedWarnings.push_back("2 15 " + WideToUtf8(row.proxyLines[i].substr(11)));
    EXPECT_EQ(warnings, expectedWarnings);
    // Every request offers the logon to nobody (high, 0x2) before it is sent,
    // and the body rides with the headers only on a request sent directly.
    const RequestTrace traced = TraceRequests(run.wineTrace);
    EXPECT_GE(traced.posts, 1);
    EXPECT_EQ(traced.logonPolicies, std::vector<std::string>(traced.posts, "0x2"));
    const size_t sent = row.exchange == ValidateAndFetch ? 2u : 1u;
    const bool inTunnel = std::any_of(row.tunnels.begin(), row.tunnels.end(),
                                      [](const std::string& t) { return t.find(" -> ") != std::string::npos; });
    EXPECT_EQ(traced.sendsWithBody, inTunnel ? 0 : static_cast<int>(sent));
    const std::vector<RecordedRequest> requests = KeyServiceWaitForRequests(row.reachesService ? sent : 0, 2000);
    ASSERT_EQ(requests.size(), row.reachesService ? sent : 0u);
    for (const RecordedRequest& request : requests) {
      // Inside the tunnel Wine names the whole URL; Windows sends the path.
      const std::string wholeUrl = "https://" + row.host + ":443/keys";
      EXPECT_TRUE(request.path == "/keys" || request.path == wholeUrl) << request.path;
    }
    DeleteFileW(ProxyFile(L"require_auth").c_str());
    DeleteFileW((InstallDir() + L"credui.dll").c_str());
  }
}

TEST_F(KeyServiceThroughProxy, ProxySignInWithTheUsersLogon) {
  GTEST_SKIP() << "a proxy that asks for Negotiate or NTLM is answered with the Windows logon of the user, "
                  "over as many legs as WinHTTP asks for (12032), and a proxy that refuses the tunnel with 403, "
                  "502 or 503 is named by that status; Wine has no Windows logon to offer, and under Wine any "
                  "refused tunnel fails the send (12157) instead of handing over the proxy's status, so the "
                  "read of that status never runs here. The decisions are in the PostJsonSendDecision table, "
                  "the read's bound in PostJsonTest.ProxyAnswerIsAwaitedBriefly";
}

TEST_F(KeyServiceThroughProxy, AutoDetectedProxy) {
  GTEST_SKIP() << "auto-detection finds its script through a DHCP option or the DNS name wpad.<domain>; "
                  "the tests stay on loopback and add no names, so no script can be found that way here";
}

}  // namespace
