// The machine check, the real tollbury-check.exe, against the test key
// service and the test proxy: a sound machine, then one broken setting per
// row with the finding it must bring. The registry and the client tree with
// the key files are the same after every run as before it.

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json_decode.h"
#include "json/json_find.h"
#include "keys/key_files.h"
#include "net/identity.h"
#include "tests/support/key_service.h"
#include "tests/support/machine.h"
#include "tests/support/user_proxy.h"

namespace {

const wchar_t PolicyKey[] = L"SOFTWARE\\Policies\\Verdanto\\Client\\Tollbury";
// RFC 1321's digests of "abc" and "message digest".
const char KeyDigest[] = "900150983cd24fb0d6963f7d28e17f72";
const char UploadKeyDigest[] = "f96b697d7cb7938d525a2f31aaf161d0";
const std::string KeysGood = "{\"response\":\"PASS\",\"responseData\":{\"result\":true}}";
const std::string KeysBad = "{\"response\":\"FAIL\",\"responseData\":{\"result\":false}}";

struct CheckRun {
  DWORD exitCode = 999;
  std::string out;
};

// Wine's CreateProcessW now and then fails at once with 1359: start again.
CheckRun RunCheck(const std::wstring& arguments, HANDLE output = nullptr) {
  CheckRun run;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  std::wstring line = L"\"" + InstallDir() + L"tollbury-check.exe\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output ? output : writeEnd;
  PROCESS_INFORMATION info = {};
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    started =
        CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    if (!started) Sleep(1000);
  }
  CloseHandle(writeEnd);
  char chunk[4096];
  DWORD read = 0;
  while (started && ReadFile(readEnd, chunk, sizeof(chunk), &read, nullptr) && read > 0) run.out.append(chunk, read);
  CloseHandle(readEnd);
  if (!started) return run;
  if (WaitForSingleObject(info.hProcess, 120000) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 999);
  GetExitCodeProcess(info.hProcess, &run.exitCode);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return run;
}

void ReadKeyTree(HKEY root, const std::wstring& path, std::string& out) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  out += "[" + WideToUtf8(path) + "]\n";
  std::vector<std::wstring> subkeys;
  wchar_t name[256];
  BYTE data[4096];
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = 256, dataSize = sizeof(data), type = 0;
    if (RegEnumValueW(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
    out += WideToUtf8(name) + " " + std::to_string(type) + " " + std::string(reinterpret_cast<char*>(data), dataSize) +
           "\n";
  }
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = 256;
    if (RegEnumKeyExW(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    subkeys.push_back(path + L"\\" + name);
  }
  RegCloseKey(key);
  for (const std::wstring& subkey : subkeys) ReadKeyTree(root, subkey, out);
}

void ReadFileTree(const std::wstring& directory, std::string& out) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((directory + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    std::string bytes;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ReadFileTree(directory + name + L"\\", bytes);
    else
      ReadFileBytes(directory + name, bytes);
    out += WideToUtf8(directory + name) + "\n" + bytes + "\n";
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

// Everything the check could change.
std::string Snapshot() {
  std::string out;
  ReadKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Verdanto", out);
  ReadKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Verdanto", out);
  ReadKeyTree(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", out);
  ReadFileTree(ClientRoot(), out);
  return out;
}

bool HasFinding(const std::string& out, const std::string& status, const std::string& text) {
  for (size_t start = 0, end; (end = out.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = out.substr(start, end - start);
    if (line.rfind(status + " ", 0) == 0 && line.find(text) != std::string::npos) return true;
  }
  return false;
}

// A JSON value as it stands in the text; a string without its quotes.
std::string JsonValue(const std::string& json, const char* path) {
  const char* start = nullptr;
  int length = 0;
  const int kind = JsonFind(json.c_str(), static_cast<int>(json.size()), path, &start, &length);
  if (kind <= 0) return "<absent>";
  if (kind != 11) return std::string(start, length);
  char text[JsonValueBufferSize];
  const int decoded = JsonUnescape(start + 1, length - 2, text);
  return decoded < 0 ? "<bad string>" : std::string(text, decoded);
}

std::wstring KeyPath(const wchar_t* suffix) { return ClientRoot() + L"vrd" + suffix; }

// Key files as a start writes them: private to this user.
void WriteKeyFile(const wchar_t* suffix, const std::string& bytes) {
  ASSERT_EQ(ReplaceFileContents(KeyPath(suffix).c_str(), bytes.data(), static_cast<unsigned long>(bytes.size())), 0u);
}

const wchar_t EventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tollbury";

// The key service's test CA in the LocalMachine Root store while the object
// lives, for a feed that Windows' validation must accept.
struct TrustedTestCa {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  const CERT_CONTEXT* added = nullptr;
  TrustedTestCa() {
    std::string pem;
    BYTE der[8192];
    DWORD size = sizeof(der);
    if (store && ReadFileBytes(KeyServiceDirectory() + L"\\ca.pem", pem) &&
        CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der, &size, nullptr,
                             nullptr) &&
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size, CERT_STORE_ADD_REPLACE_EXISTING, &added))
      CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  }
  ~TrustedTestCa() {
    if (added && CertDeleteCertificateFromStore(added)) CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    if (store) CertCloseStore(store, 0);
  }
};

std::string Feed(const std::string& items) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\" "
         "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><title>Client</title>" +
         items + "</channel></rss>\n";
}

// A session whose update feed is the key service's next reply, fetched as a
// start that checks for updates would; tollbury.exe carries an update key or not.
std::function<void()> ServeFeed(const std::string& feed, bool key) {
  return [=] {
    SetRegString(TollburyKey, L"UpgradeCheck", L"1");
    SetRegString(SessionKey(L"vrd"), L"HostName", KeyServiceHost());
    CopyFileW((BinDir() + L"WinSparkle.dll").c_str(), (InstallDir() + L"WinSparkle.dll").c_str(), FALSE);
    KeyServiceUseCaSignedCertificate(true);
    KeyServiceQueueReply(200, feed);
    const char publicKey[] = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
    HANDLE update = key ? BeginUpdateResourceW((InstallDir() + L"tollbury.exe").c_str(), FALSE) : nullptr;
    ASSERT_TRUE(!key || (update &&
                         UpdateResourceW(update, L"EDDSA", L"EdDSAPub", LANG_NEUTRAL, const_cast<char*>(publicKey),
                                         sizeof(publicKey) - 1) &&
                         EndUpdateResourceW(update, FALSE)));
  };
}

void SetUpSoundMachine() {
  SetUpPlainMachine();
  KeyServiceUseCaSignedCertificate(false);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, EventSourceKey);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, PolicyKey);
  SetRegDword(SessionKey(L"vrd"), L"SingleUser", 1);
  SetRegString(SessionKey(L"vrd"), L"Server", KeyServiceUrl(L"/keys"));
  SetRegString(SessionKey(L"vrd"), L"ServerKeyPins", Utf8ToWide(KeyServicePin()));
  ResetClientRoot();
  AddVersionDir(L"1.2.3");
  WriteKeyFile(L"-key.ppk", "abc");
  WriteKeyFile(L"-upload-key.ppk", "message digest");
  WriteUserSettings(ConnectionSettings(Direct, "", "", ""));
  PrepareInstall({L"tollbury-check.exe"});
  KeyServiceReset();
}

std::string ValidateKeyBody() {
  char ip[ClientTextSize];
  GetClientIpAddress(ip);
  return std::string("{\"appId\":\"DUREZIR\",\"client_version\":\"Version 3.06\",\"client_ip\":\"") + ip +
         "\",\"command\":\"validateKey\",\"md5\":\"" + KeyDigest + "\",\"uploadMd5\":\"" + UploadKeyDigest + "\"}";
}

struct Expected {
  const char* status;
  std::string text;
};

struct Row {
  const char* name;
  std::function<void()> setUp;
  std::wstring arguments;
  std::vector<std::string> replies;
  DWORD exitCode;
  std::vector<Expected> findings;
  size_t bodies;          // complete request bodies the key service receives
  bool startToo = false;  // a start afterwards takes the same route and launches the same client
};

// What a start does on the machine the check just looked at.
void ExpectStartAgrees(const std::string& checkOutput, const std::string& proxy) {
  KeyServiceQueueReply(200, KeysGood);
  const LauncherRun start = RunLauncher(L"-no_upgrade", 60000);
  ClientRecord record;
  EXPECT_TRUE(WaitForClientRecord(L"1.2.3", record)) << "the start launches the version the check named";
  const bool checkUsedProxy = HasFinding(checkOutput, "OK", "route: through proxy " + proxy);
  const std::wstring proxyLine = L"[tollbury] Reaching the key service through proxy " + Utf8ToWide(proxy);
  EXPECT_EQ(std::count(start.lines.begin(), start.lines.end(), proxyLine), checkUsedProxy ? 1 : 0);
  EXPECT_EQ(std::count(start.lines.begin(), start.lines.end(),
                       L"[tollbury] Server replied that keys are GOOD.  Using existing ones."),
            1);
}

TEST(MachineCheck, TellsWhatAStartWouldDoAndChangesNothing) {
  std::string savedSettings;
  const bool hadSettings = ReadUserSettings(savedSettings);
  const std::string proxy = ProxyAddress();
  ASSERT_FALSE(proxy.empty()) << "the proxy fixture is not running";
  const std::string down = proxy.substr(0, proxy.rfind(':')) + ":1";  // nothing listens there
  const std::wstring onlyThroughProxy = Environment(L"TOLLBURY_PROXY_ONLY_ADDRESS");
  const std::wstring vrd = SessionKey(L"vrd");
  const std::string area = "session 'vrd': ";
  wchar_t user[256], domain[256];
  DWORD userSize = 256, domainSize = 256;
  GetUserNameW(user, &userSize);
  GetComputerNameW(domain, &domainSize);
  const std::wstring account = std::wstring(domain) + L"\\" + user;
  const std::string feed = "the feed https://" + WideToUtf8(KeyServiceHost()) + ":1/client/appcast.xml";
  const std::string download = "https://" + WideToUtf8(KeyServiceHost()) + "/client/2.0.0.msi";
  const std::string signedEnclosure =
      "<enclosure url=\"" + download + "\" sparkle:os=\"windows-x64\" sparkle:edSignature=\"c2ln\"";
  TrustedTestCa ca;
  ASSERT_NE(ca.added, nullptr) << "cannot add the test CA to the LocalMachine Root store";
  const Row rows[] = {
      {"sound machine",
       [] {},
       L"",
       {KeysGood},
       1,
       {{"OK", "account: run by " + WideToUtf8(account) + " (S-1-5-"},
        {"OK", "program: tollbury.exe beside it has the same version"},
        {"WARN", "program: tollbury-check.exe is not signed, nor is tollbury.exe"},
        {"OK", "client: a start launches " + WideToUtf8(ClientRoot()) + "1.2.3\\rudavuvav.exe"},
        {"OK", "vrd-key.ppk is private to " + WideToUtf8(account) + ", who holds its keys, SYSTEM and Administrators"},
        {"OK", area + "route: directly: no proxy is set"},
        {"OK", area + "certificate: its key matches ServerKeyPins"},
        {"OK", area + "validation: the key service accepts the key files"}},
       1,
       true},
      {"keys not accepted",
       [] {},
       L"",
       {KeysBad},
       1,
       {{"WARN", area + "validation: the key service does not accept"}},
       1},
      {"validation post fails",
       [] {},
       L"",
       {"500"},
       2,
       {{"FAIL", area + "validation: the validateKey request failed (Status=500, Error Code=1208"}},
       1},
      {"upload key missing",
       [] { DeleteFileW(KeyPath(L"-upload-key.ppk").c_str()); },
       L"",
       {},
       1,
       {{"WARN", "vrd-upload-key.ppk is missing"}, {"OK", area + "the key service was reached"}},
       0},
      {"another key's pin",
       [&] { SetRegString(vrd, L"ServerKeyPins", L"sha256//" + std::wstring(43, L'A') + L"="); },
       L"",
       {},
       2,
       {{"FAIL", area + "certificate: its key matches none of ServerKeyPins"}},
       0},
      {"unusable pin list",
       [&] { SetRegString(vrd, L"ServerKeyPins", L"sha256//short"); },
       L"",
       {},
       2,
       {{"FAIL", area + "ServerKeyPins is not a valid pin list"}, {"OK", "pin " + KeyServicePin()}},
       0},
      {"neither pins nor verification",
       [&] { DeleteRegValue(vrd, L"ServerKeyPins"); },
       L"",
       {KeysGood},
       1,
       {{"WARN", area + "neither ServerKeyPins nor VerifyServerCertificate"},
        {"WARN", area + "certificate: Windows' validation refuses it"}},
       1},
      {"no Server",
       [&] { DeleteRegValue(vrd, L"Server"); },
       L"",
       {},
       2,
       {{"FAIL", area + "single-user, but Server"}},
       0},
      {"no client",
       [] { DeleteFileW((ClientRoot() + L"1.2.3\\rudavuvav.exe").c_str()); },
       L"",
       {KeysGood},
       2,
       {{"OK", "client: version directory 1.2.3 ranks 1.2.3, holds no rudavuvav.exe"},
        {"FAIL", "client: no version directory holds rudavuvav.exe"}},
       1},
      {"LastCheck in the future",
       [] { SetRegString(TollburyKey, L"LastCheck", std::to_wstring(time(nullptr) + 3600)); },
       L"",
       {KeysGood},
       1,
       {{"WARN", "gate: LastCheck"}, {"WARN", "seconds in the future"}},
       1},
      {"LastCheck no number",
       [] { SetRegString(TollburyKey, L"LastCheck", L"12abc"); },
       L"",
       {KeysGood},
       1,
       {{"WARN", "gate: LastCheck is not a decimal number (a start reads it as 12)"}},
       1},
      {"no Tollbury key",
       [] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, TollburyKey); },
       L"",
       {KeysGood},
       1,
       {{"WARN", "gate: the key HKLM\\SOFTWARE\\Verdanto\\Client\\Tollbury cannot be read (error 2)"}},
       1},
      {"missing session, update check on",
       [] { SetRegString(TollburyKey, L"UpgradeCheck", L"1"); },
       L"-load east",
       {},
       2,
       {{"FAIL",
         "session 'east': its registry key cannot be read (error 2): a start that checks for updates ends "
         "with exit code 2"},
        {"WARN", "updates: WinSparkle.dll cannot be loaded from the program's folder (error 126)"}},
       0},
      {"broken WinSparkle.dll and feed",
       [&] {
         SetRegString(TollburyKey, L"UpgradeCheck", L"1");
         SetRegString(vrd, L"HostName", KeyServiceHost() + L":1");  // nothing listens there
         CopyFileW((BinDir() + L"WinSparkleNoCleanup.dll").c_str(), (InstallDir() + L"WinSparkle.dll").c_str(), FALSE);
       },
       L"",
       {KeysGood},
       1,
       {{"WARN", "updates: WinSparkle.dll lacks win_sparkle_cleanup"},
        {"WARN", area + feed + " cannot be fetched (error 12029"}},
       1},
      {"feed offers no update",
       ServeFeed(Feed("<item><sparkle:version>9.0</sparkle:version><enclosure url=\"https://x/\" "
                      "sparkle:os=\"windows-x86\"/></item><item><sparkle:version>1.2.3</sparkle:version>" +
                      signedEnclosure + "/></item>"),
                 true),
       L"",
       {KeysGood},
       1,
       {{"OK", area + "the feed offers version 1.2.3 (item 2), not newer than the installed 1.2.3"},
        {"OK", area + "the feed's item is signed (sparkle:edSignature), and tollbury.exe carries the key"}},
       1},
      {"feed offers a signed update",
       ServeFeed(Feed("<item>" + signedEnclosure + " sparkle:version=\"2.0.0\"/></item>"), true),
       L"",
       {KeysGood},
       1,
       {{"OK", area +
                   "the feed offers version 2.0.0 (item 1), newer than the installed 1.2.3: an administrator's "
                   "start offers to install " +
                   download}},
       1},
      {"feed offers an unsigned update",
       ServeFeed(Feed("<item><enclosure url=\"" + download + "\" sparkle:version=\"2.0.0\"/></item>"), true),
       L"",
       {KeysGood},
       1,
       {{"WARN", area + "the feed's item has no sparkle:edSignature, and tollbury.exe carries"}},
       1},
      {"feed with installer arguments, no update key",
       ServeFeed(Feed("<item>" + signedEnclosure +
                      " sparkle:version=\"2.0.0\" "
                      "sparkle:installerArguments=\"/QN TRANSFORMS=x.mst\"/></item>"),
                 false),
       L"",
       {KeysGood},
       1,
       {{"WARN", area + "tollbury.exe carries no update signing key: the feed's downloads are verified by HTTPS alone"},
        {"WARN", area + "the feed's item names sparkle:installerArguments \"/QN TRANSFORMS=x.mst\" beyond"}},
       1},
      {"feed not XML",
       ServeFeed("<html><body>Moved</html>", true),
       L"",
       {KeysGood},
       1,
       {{"WARN", area + "the feed is not XML (0x"}},
       1},
      {"feed without items",
       ServeFeed(Feed(""), true),
       L"",
       {KeysGood},
       1,
       {{"WARN", area + "the feed has no item in a channel"}},
       1},
      {"through the test proxy",
       [&] {
         WriteUserSettings(ConnectionSettings(StaticProxy, proxy, "<-loopback>", ""));
         SetRegString(vrd, L"Server", L"https://" + onlyThroughProxy + L"/keys");
       },
       L"",
       {KeysGood},
       1,
       {{"OK", area + "route: through proxy " + proxy + ", from the static proxy settings"},
        {"OK", area + "validation: the key service accepts the key files"}},
       1,
       true},
      {"through the proxy script",
       [&] {
         WriteFileBytes(ProxyFile(L"check.pac"),
                        "function FindProxyForURL(url, host) { return \"PROXY " + proxy + "\"; }\n");
         WriteUserSettings(
             ConnectionSettings(ProxyScript | StaticProxy, down, "<-loopback>", "http://" + proxy + "/check.pac"));
         SetRegString(vrd, L"Server", L"https://" + onlyThroughProxy + L"/keys");
       },
       L"",
       {KeysGood},
       1,
       {{"OK", area + "route: through proxy " + proxy + ", from the proxy script"}},
       1},
      {"proxy down",
       [&] { WriteUserSettings(ConnectionSettings(StaticProxy, down, "<-loopback>", "")); },
       L"",
       {KeysGood},
       1,
       {{"OK", area + "route: through proxy " + down + ", from the static proxy settings"},
        {"WARN",
         area + "proxy " + down + " could not be passed (error 12029): a start reaches the key service directly"},
        {"OK", area + "validation: the key service accepts the key files"}},
       1},
      {"offline", [] {}, L"--offline", {}, 1, {{"OK", area + "offline: nothing was sent to the key service"}}, 0},
      {"event log policy without its source",
       [] { SetRegDword(PolicyKey, L"ReportToEventLog", 1); },
       L"",
       {KeysGood},
       1,
       {{"WARN", "event log: the event source Tollbury is not registered"}},
       1},
      {"event source naming two files, one missing",
       [] {
         SetRegDword(PolicyKey, L"ReportToEventLog", 1);
         const wchar_t files[] = L"%SystemRoot%\\system32\\kernel32.dll;%SystemRoot%\\nowhere.dll";
         RegSetKeyValueW(HKEY_LOCAL_MACHINE, EventSourceKey, L"EventMessageFile", REG_EXPAND_SZ, files, sizeof(files));
       },
       L"",
       {KeysGood},
       1,
       {{"WARN", "event log: the event source Tollbury names C:\\windows\\nowhere.dll, which does not exist"}},
       1},
      {"tollbury.exe of another version, changed after signing",
       [] {
         std::string signedExe;
         ASSERT_TRUE(ReadFileBytes(BinDir() + L"signed-tollbury.exe", signedExe)) << "needs openssl and osslsigncode";
         const size_t fixedInfo = signedExe.find("\xBD\x04\xEF\xFE");  // VS_FIXEDFILEINFO's signature
         ASSERT_NE(fixedInfo, std::string::npos);
         signedExe[fixedInfo + 12] = 7;  // the fourth part of the file version
         ASSERT_TRUE(WriteFileBytes(InstallDir() + L"tollbury.exe", signedExe));
       },
       L"--offline",
       {},
       2,
       {{"WARN",
         "program: tollbury.exe beside it is version 3.6.2.7: the findings are those of the check's version "
         "3.6.2.0"},
        {"FAIL", "program: tollbury.exe carries a signature that does not verify (0x80096010"},
        {"WARN", "program: tollbury-check.exe is not signed, but tollbury.exe is"}},
       0},
      {"a key service that never answers",
       [] {
         KeyServiceReply silent;
         silent.delayMs = 20000;
         KeyServiceQueueReply(silent);
       },
       L"--max-seconds 3",
       {},
       1,
       {{"OK", "client: a start launches"},
        {"WARN",
         "check: unfinished: session 'vrd': the validateKey exchange was still running when --max-seconds 3 "
         "ran out"}},
       1},
      {"unusable command line", [] {}, L"-load", {}, 3, {}, 0},
      {"no bound", [] {}, L"--max-seconds 0", {}, 3, {}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUpSoundMachine();
    row.setUp();
    for (const std::string& reply : row.replies)
      KeyServiceQueueReply(reply == "500" ? 500 : 200, reply == "500" ? "{\"error\":\"down\"}" : reply);
    DeleteFileW(ProxyFile(L"tunnels.log").c_str());
    const int connections = KeyServiceConnectionsAccepted();
    const std::string before = Snapshot();
    const ULONGLONG startedMs = GetTickCount64();
    const CheckRun run = RunCheck(row.arguments);
    if (row.arguments == L"--max-seconds 3") {
      EXPECT_LT(GetTickCount64() - startedMs, 30000u) << "well within 120 s";
    }
    EXPECT_EQ(Snapshot(), before) << "the check changed the machine";
    EXPECT_EQ(run.exitCode, row.exitCode) << run.out;
    for (const Expected& finding : row.findings)
      EXPECT_TRUE(HasFinding(run.out, finding.status, finding.text)) << finding.status << " " << finding.text << "\n"
                                                                     << run.out;
    std::vector<std::string> bodies;
    for (const RecordedRequest& request : KeyServiceRequests())
      if (request.bodyComplete && !request.body.empty()) bodies.push_back(request.body);
    EXPECT_EQ(bodies, std::vector<std::string>(row.bodies, ValidateKeyBody()));
    if (row.arguments == L"--offline") {
      EXPECT_EQ(KeyServiceConnectionsAccepted(), connections) << "offline, nothing reaches the key service";
    }
    if (row.name == std::string("through the test proxy")) {
      EXPECT_EQ(Tunnels().size(), 1u);
    }
    if (row.startToo) ExpectStartAgrees(run.out, proxy);
  }

  // The same sound machine as JSON: nothing but the one object.
  SetUpSoundMachine();
  KeyServiceQueueReply(200, KeysGood);
  const CheckRun run = RunCheck(L"--json");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(JsonFind(run.out.c_str(), static_cast<int>(run.out.size()), "$", nullptr, nullptr), 123) << run.out;
  EXPECT_EQ(run.out.back(), '\n');
  EXPECT_EQ(JsonValue(run.out, "$.version"), "Version 3.06");
  EXPECT_EQ(JsonValue(run.out, "$.programVersion"), "3.6.2.0");
  EXPECT_EQ(JsonValue(run.out, "$.exitCode"), "1");
  EXPECT_EQ(JsonValue(run.out, "$.account"), WideToUtf8(account));
  EXPECT_EQ(JsonValue(run.out, "$.sid").rfind("S-1-5-21-", 0), 0u);
  EXPECT_EQ(JsonValue(run.out, "$.system"), "false");
  EXPECT_EQ(JsonValue(run.out, "$.findings[0].area"), "account");
  EXPECT_EQ(JsonValue(run.out, "$.findings[0].status"), "ok");
  EXPECT_EQ(JsonValue(run.out, "$.client.chosen"), WideToUtf8(ClientRoot()) + "1.2.3");
  EXPECT_EQ(JsonValue(run.out, "$.sessions[0].name"), "vrd");
  EXPECT_EQ(JsonValue(run.out, "$.sessions[0].singleUser"), "true");
  EXPECT_EQ(JsonValue(run.out, "$.sessions[0].proxy"), "");
  EXPECT_EQ(JsonValue(run.out, "$.sessions[0].pin"), KeyServicePin());
  EXPECT_EQ(JsonValue(run.out, "$.sessions[0].validation"), "good");
  EXPECT_EQ(JsonValue(run.out, "$.sessions[0].status"), "200");
  EXPECT_EQ(JsonValue(run.out, "$.sessions[0].error"), "0");
  // Nothing is posted with an unusable pin list.
  SetRegString(SessionKey(L"vrd"), L"ServerKeyPins", L"sha256//short");
  const CheckRun unusable = RunCheck(L"--json");
  EXPECT_EQ(JsonValue(unusable.out, "$.sessions[0].status"), "0");
  EXPECT_EQ(JsonValue(unusable.out, "$.sessions[0].error"), "1610");
  // A report that cannot be written is no sound machine.
  SetUpSoundMachine();
  KeyServiceQueueReply(200, KeysGood);
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  const std::wstring readOnly = InstallDir() + L"report.json";
  WriteFileBytes(readOnly, "");
  HANDLE output = CreateFileW(readOnly.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(RunCheck(L"--json", output).exitCode, 2u);
  CloseHandle(output);

  if (hadSettings)
    WriteUserSettings(savedSettings);
  else
    RemoveUserSettings();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, PolicyKey);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, EventSourceKey);
  KeyServiceUseCaSignedCertificate(false);
}

TEST(MachineCheck, WhatWineCannotShow) {
  GTEST_SKIP() << "a key file that other users may read, one that this user may not read (another user's), a "
                  "proxy that signs the user in with Negotiate or NTLM, and a run as SYSTEM, LocalService or "
                  "NetworkService (their route and sign-in told as theirs, a sound machine still exit 0): Wine makes "
                  "file access lists up from the Unix mode, enforces none, has no Windows logon to offer a proxy and "
                  "runs every program as the one user; the access-list judgement is the unit table's; a signature "
                  "whose revocation cannot be told, online or offline: Wine's WinVerifyTrust checks no revocation; "
                  "a HostName that is a bracketed IPv6 address with a port: Wine's WinHttpCrackUrl reads its host "
                  "as \"[\" and its port as 0";
}

}  // namespace
