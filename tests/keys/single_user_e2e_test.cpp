// The single-user key flow through the real tollbury.exe: the capture tool
// records its debug output, the test key service answers its posts, and
// under Xvfb its message boxes and credentials dialogs are real windows that
// a driver reads and answers. Where a window cannot show what a test needs
// (the dialog's flags), a stand-in credui.dll records the call instead.

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/identity.h"
#include "net/post_json.h"
#include "tests/keys/file_holder.h"
#include "tests/support/credui_control.h"
#include "tests/support/key_service.h"
#include "tests/support/machine.h"
#include "tests/support/ui_driver.h"

namespace {

using Lines = std::vector<std::wstring>;

const wchar_t FirstPrompt[] = L"Enter your Verdanto account information:";
const wchar_t UnknownErrorPrompt[] = L"Unknown error authenticating.  Please try again:";
const wchar_t Caption[] = L"Verdanto Credentials";
const DWORD PromptFlags = 0x4008a;
const DWORD RetryFlags = 0x4008b;
const std::string Password = "Pw-7q!zX";
const std::wstring WidePassword = L"Pw-7q!zX";

// Contents whose digests are known: RFC 1321's "abc" and "message digest".
const std::string KeyContent = "abc";
const std::string KeyDigest = "900150983cd24fb0d6963f7d28e17f72";
const std::string UploadKeyContent = "message digest";
const std::string UploadKeyDigest = "f96b697d7cb7938d525a2f31aaf161d0";

// Issued keys hold NUL and high bytes, to be written byte for byte.
const std::string IssuedKey("key-one\r\n\0tail\xff", 15);
const std::string IssuedUploadKey("upload\0key", 10);

const std::string KeysGood = "{\"response\":\"PASS\",\"responseData\":{\"result\":true}}";
const std::string KeysBad = "{\"response\":\"FAIL\",\"responseData\":{\"result\":false}}";

std::wstring KeyPath() { return ClientRoot() + L"vrd-key.ppk"; }
std::wstring UploadKeyPath() { return ClientRoot() + L"vrd-upload-key.ppk"; }
std::wstring ServiceUrl() { return KeyServiceUrl(L"/keys"); }

std::string Base64(const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
    if (n > 1) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (n > 2) value |= static_cast<unsigned char>(bytes[i + 2]);
    text += alphabet[(value >> 18) & 63];
    text += alphabet[(value >> 12) & 63];
    text += n > 1 ? alphabet[(value >> 6) & 63] : '=';
    text += n > 2 ? alphabet[value & 63] : '=';
  }
  return text;
}

std::string KeysIssuedReply() {
  return "{\"response\":\"PASS\",\"responseData\":{\"key\":\"" + Base64(IssuedKey) + "\",\"uploadKey\":\"" +
         Base64(IssuedUploadKey) + "\"}}";
}

std::string Rejection(const std::string& message) {
  return "{\"response\":\"FAIL\",\"responseMessage\":\"" + message + "\"}";
}

struct Identity {
  std::string ip;
  std::string version;
};

Identity ClientIdentityOfThisMachine() {
  char ip[ClientTextSize];
  GetClientIpAddress(ip);
  return {ip, "Version 3.06"};
}

std::string ValidateKeyBody(const std::string& keyDigest = KeyDigest) {
  const Identity id = ClientIdentityOfThisMachine();
  return "{\"appId\":\"DUREZIR\",\"client_version\":\"" + id.version + "\",\"client_ip\":\"" + id.ip +
         "\",\"command\":\"validateKey\",\"md5\":\"" + keyDigest + "\",\"uploadMd5\":\"" + UploadKeyDigest + "\"}";
}

std::string GetKeyBody(const std::string& userOnWire, const std::string& password) {
  const Identity id = ClientIdentityOfThisMachine();
  return "{\"appId\":\"DUREZIR\",\"client_version\":\"" + id.version + "\",\"client_ip\":\"" + id.ip +
         "\",\"command\":\"getKey\",\"user\":\"" + userOnWire + "\",\"pw\":\"" + password + "\"}";
}

std::string Contents(const std::wstring& path) {
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) return "<missing>";
  return bytes;
}

void WriteKeyFiles() {
  ASSERT_TRUE(WriteFileBytes(KeyPath(), KeyContent));
  ASSERT_TRUE(WriteFileBytes(UploadKeyPath(), UploadKeyContent));
}

// Everything the flow produced between entering single-user mode and
// starting the client.
Lines KeyLines(const LauncherRun& run) {
  Lines lines;
  bool inside = false;
  for (const std::wstring& line : run.lines) {
    if (line == L"[tollbury] Launching rudavuvav.exe") break;
    if (inside) lines.push_back(line);
    if (line == L"[tollbury] Going into single user mode") inside = true;
  }
  return lines;
}

Lines FoundRows(const std::string& keyDigest = KeyDigest) {
  return {L"[tollbury] The vrd-key.ppk and vrd-upload-key.ppk files are found.  Must validate them.",
          L"vrd-key.ppk: " + Utf8ToWide(keyDigest), L"vrd-upload-key.ppk: " + Utf8ToWide(UploadKeyDigest)};
}

const wchar_t MissingRow[] =
    L"[tollbury] The vrd-key.ppk and vrd-upload-key.ppk files are missing off disk.  Must fetch.";
const wchar_t GoodRow[] = L"[tollbury] Server replied that keys are GOOD.  Using existing ones.";
const wchar_t BadRow[] = L"[tollbury] Server replied that keys are BAD.  Must fetch new ones.";
const wchar_t PromptRow[] = L"[tollbury] Prompting for password and fetching remote key";
const wchar_t WroteRow[] = L"[tollbury] Successfully wrote out key file";

Lines Concat(Lines first, const Lines& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

std::wstring CommunicationsError(int status, int code) {
  return L"Communications error with Tidewire URL:\n" + ServiceUrl() + L"\nStatus=" + std::to_wstring(status) +
         L", Error Code=" + std::to_wstring(code);
}

struct FlowRun {
  LauncherRun run;
  std::vector<SeenWindow> windows;
  std::vector<RecordedRequest> requests;
  std::vector<CredUiCall> calls;
};

void ExpectWarningBox(const SeenWindow& box, const std::wstring& caption, const std::wstring& text) {
  EXPECT_EQ(box.caption, caption);
  EXPECT_EQ(box.text, text);
  EXPECT_TRUE(box.warningIcon) << "warning icon";
  EXPECT_EQ(box.buttonCount, 1);
  EXPECT_TRUE(box.hasOkButton);
}

// The password may reach the key service and nothing else.
void ExpectPasswordNowhere(const FlowRun& flow) {
  for (const std::wstring& line : flow.run.lines) {
    EXPECT_EQ(line.find(WidePassword), std::wstring::npos) << "log line: " << WideToUtf8(line);
  }
  for (const SeenWindow& window : flow.windows) {
    EXPECT_EQ(window.text.find(WidePassword), std::wstring::npos) << "window: " << WideToUtf8(window.caption);
  }
  for (const CredUiCall& call : flow.calls) EXPECT_EQ(call.message.find(WidePassword), std::wstring::npos);
  for (const std::wstring& path : {KeyPath(), UploadKeyPath()}) {
    EXPECT_EQ(Contents(path).find(Password), std::string::npos) << WideToUtf8(path);
  }
}

class SingleUserFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!DisplayAvailable()) GTEST_SKIP() << "needs an X display (the xvfb fixture)";
    SetUpPlainMachine();
    SetRegDword(SessionKey(L"vrd"), L"SingleUser", 1);
    SetRegString(SessionKey(L"vrd"), L"Server", ServiceUrl());
    ResetClientRoot();
    AddVersionDir(L"1.2.3");
    PrepareInstall();
    KeyServiceReset();
  }

  static FlowRun Run(const std::vector<CredentialsAnswer>& answers = {},
                     const std::wstring& arguments = L"-no_upgrade") {
    FlowRun flow;
    UiDriver driver = StartUiDriver(answers);
    flow.run = RunLauncher(arguments, 90000);
    flow.windows = StopUiDriver(driver);
    flow.requests = KeyServiceRequests();
    flow.calls = CredUiCalls();
    EXPECT_TRUE(flow.run.finished) << "the launcher did not end";
    EXPECT_EQ(flow.run.exitCode, 0u);
    return flow;
  }

  static void ExpectClientStarted() {
    ClientRecord record;
    EXPECT_TRUE(WaitForClientRecord(L"1.2.3", record)) << "the client must start whatever the keys' fate";
  }
};

TEST_F(SingleUserFlow, AcceptedKeysAreKeptSilently) {
  WriteKeyFiles();
  InstallCredUiStandIn({});
  KeyServiceQueueReply(200, KeysGood);

  const FlowRun flow = Run();
  EXPECT_EQ(KeyLines(flow.run), Concat(FoundRows(), {GoodRow}));
  EXPECT_TRUE(flow.windows.empty());
  EXPECT_TRUE(flow.calls.empty());
  ASSERT_EQ(flow.requests.size(), 1u);
  EXPECT_EQ(flow.requests[0].path, "/keys");
  EXPECT_EQ(flow.requests[0].body, ValidateKeyBody());
  EXPECT_EQ(Contents(KeyPath()), KeyContent);
  EXPECT_EQ(Contents(UploadKeyPath()), UploadKeyContent);
  ExpectClientStarted();
}

TEST_F(SingleUserFlow, MissingUploadKeyGoesStraightToTheDialog) {
  ASSERT_TRUE(WriteFileBytes(KeyPath(), KeyContent));
  InstallCredUiStandIn({CancelDialog()});

  const FlowRun flow = Run();
  EXPECT_EQ(KeyLines(flow.run), (Lines{MissingRow, PromptRow}));
  EXPECT_TRUE(flow.requests.empty()) << "no validation without both files, nothing sent after a cancel";
  EXPECT_TRUE(flow.windows.empty());
  ASSERT_EQ(flow.calls.size(), 1u);
  const CredUiCall& call = flow.calls[0];
  EXPECT_EQ(call.flags, PromptFlags);
  EXPECT_EQ(call.caption, Caption);
  EXPECT_EQ(call.message, FirstPrompt);
  EXPECT_EQ(call.target, L"");
  EXPECT_EQ(call.userNameSize, 514u);
  EXPECT_EQ(call.passwordSize, 257u);
  EXPECT_EQ(call.saveOnEntry, 0);
  EXPECT_EQ(call.authError, 0u);
  EXPECT_TRUE(call.userNameEmptyOnEntry);
  EXPECT_TRUE(call.passwordEmptyOnEntry);
  EXPECT_EQ(Contents(KeyPath()), KeyContent);
  EXPECT_FALSE(FileExists(UploadKeyPath()));
  ExpectClientStarted();
}

TEST_F(SingleUserFlow, FailedValidationPostShowsOneBoxAndKeepsTheFiles) {
  WriteKeyFiles();
  InstallCredUiStandIn({ConfirmWith(L"alice", WidePassword)});
  KeyServiceQueueReply(500, "{\"error\":\"down\"}");

  const FlowRun flow = Run();
  EXPECT_EQ(KeyLines(flow.run), FoundRows());
  ASSERT_EQ(flow.windows.size(), 1u);
  ExpectWarningBox(flow.windows[0], L"Key Validation Error", CommunicationsError(500, 1208));
  EXPECT_TRUE(flow.calls.empty()) << "no prompt after a failed validation";
  EXPECT_EQ(flow.requests.size(), 1u);
  EXPECT_EQ(Contents(KeyPath()), KeyContent);
  EXPECT_EQ(Contents(UploadKeyPath()), UploadKeyContent);
  ExpectClientStarted();
}

TEST_F(SingleUserFlow, RejectionsAskAgainUntilKeysAreIssued) {
  // Rejected keys; the old key file is longer than the one to come.
  const std::string oldKey(5000, 'o');
  const std::string oldKeyDigest = "920b88e2014345c5b182f464ede7424a";
  ASSERT_TRUE(WriteFileBytes(KeyPath(), oldKey));
  ASSERT_TRUE(WriteFileBytes(UploadKeyPath(), UploadKeyContent));
  const std::string longMessage(300, 'm');
  InstallCredUiStandIn({
      ConfirmWith(L"\\carol", WidePassword),    // rejected with a message (UTF-8 accent)
      ConfirmWith(L"\\carol", L""),             // empty password: asked again, nothing sent
      ConfirmWith(L"", WidePassword),           // empty user name: the same
      ConfirmWith(L"\\carol", WidePassword),    // rejected without a message
      ConfirmWith(L"\\carol", WidePassword),    // rejected with 300 characters
      ConfirmWith(L"\\carol", WidePassword),    // "PASS" without an upload key: rejected
      ConfirmWith(L"\\\\carol", WidePassword),  // keys issued; one backslash stays
  });
  KeyServiceQueueReply(200, KeysBad);
  KeyServiceQueueReply(200, Rejection("Mot de passe erron\xc3\xa9"));
  KeyServiceQueueReply(200, "{\"response\":\"FAIL\"}");
  KeyServiceQueueReply(200, Rejection(longMessage));
  KeyServiceQueueReply(200, "{\"response\":\"PASS\",\"responseData\":{\"key\":\"" + Base64("partial") + "\"}}");
  KeyServiceQueueReply(200, KeysIssuedReply());
  // Staged files that earlier starts left: only the old one of our naming goes.
  const std::wstring staged[] = {ClientRoot() + L"ppk1A2B.tmp", ClientRoot() + L"ppk-x.tmp",
                                 ClientRoot() + L"ppk3c.tmp"};
  const FILETIME longAgo = {0, 0x01C00000};  // about the year 2000
  for (const std::wstring& path : staged) {
    ASSERT_TRUE(WriteFileBytes(path, "partial key"));
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_TRUE(path == staged[2] || SetFileTime(file, nullptr, nullptr, &longAgo));
    CloseHandle(file);
  }

  const FlowRun flow = Run();
  // Written once, from the complete reply only.
  EXPECT_EQ(KeyLines(flow.run),
            Concat(FoundRows(oldKeyDigest),
                   {BadRow, PromptRow, L"[tollbury] Removed 1 leftover temporary key files.", WroteRow, WroteRow}));
  EXPECT_TRUE(!FileExists(staged[0]) && FileExists(staged[1]) && FileExists(staged[2]));
  EXPECT_TRUE(flow.windows.empty());

  // Dialog flags and messages, call by call.
  const std::wstring accentedRetry = L"Mot de passe erron\u00c3\u00a9.  Please try again:";
  const struct {
    DWORD flags;
    std::wstring message;
  } expected[] = {
      {PromptFlags, FirstPrompt},       {RetryFlags, accentedRetry},      {RetryFlags, accentedRetry},
      {RetryFlags, accentedRetry},      {RetryFlags, UnknownErrorPrompt}, {RetryFlags, std::wstring(255, L'm')},
      {RetryFlags, UnknownErrorPrompt},
  };
  ASSERT_EQ(flow.calls.size(), 7u);
  for (size_t i = 0; i < flow.calls.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(flow.calls[i].flags, expected[i].flags);
    EXPECT_EQ(flow.calls[i].message, expected[i].message);
    EXPECT_EQ(flow.calls[i].caption, Caption);
    EXPECT_TRUE(flow.calls[i].userNameEmptyOnEntry);
    EXPECT_TRUE(flow.calls[i].passwordEmptyOnEntry);
  }

  // One validation, then one getKey per confirmed, complete entry.
  ASSERT_EQ(flow.requests.size(), 6u);
  EXPECT_EQ(flow.requests[0].body, ValidateKeyBody(oldKeyDigest));
  for (size_t i = 1; i < 5; ++i) EXPECT_EQ(flow.requests[i].body, GetKeyBody("carol", Password)) << i;
  EXPECT_EQ(flow.requests[5].body, GetKeyBody("\\\\carol", Password));

  EXPECT_EQ(Contents(KeyPath()), IssuedKey);
  EXPECT_EQ(Contents(UploadKeyPath()), IssuedUploadKey);
  ExpectPasswordNowhere(flow);
  ExpectClientStarted();
}

TEST_F(SingleUserFlow, UnsupportedServerShowsAWarningAndWritesNothing) {
  InstallCredUiStandIn({ConfirmWith(L"alice", WidePassword), ConfirmWith(L"alice", WidePassword)});
  KeyServiceQueueReply(200,
                       "{\"response\":\"UNSUPPORTED\",\"responseData\":{\"key\":\"YWJj\",\"uploadKey\":\"YWJj\"}}");

  const FlowRun flow = Run();
  EXPECT_EQ(KeyLines(flow.run), (Lines{MissingRow, PromptRow}));
  ASSERT_EQ(flow.windows.size(), 1u);
  ExpectWarningBox(flow.windows[0], L"Warning",
                   L"You have enabled Single User Authentication but the server does not support it.");
  EXPECT_EQ(flow.calls.size(), 1u);
  EXPECT_EQ(flow.requests.size(), 1u);
  EXPECT_FALSE(FileExists(KeyPath()));
  EXPECT_FALSE(FileExists(UploadKeyPath()));
  ExpectPasswordNowhere(flow);
  ExpectClientStarted();
}

TEST_F(SingleUserFlow, FailedFetchPostShowsOneBoxAndStopsAsking) {
  InstallCredUiStandIn({ConfirmWith(L"alice", WidePassword), ConfirmWith(L"alice", WidePassword)});
  KeyServiceQueueReply(500, "");

  const FlowRun flow = Run();
  EXPECT_EQ(KeyLines(flow.run), (Lines{MissingRow, PromptRow}));
  ASSERT_EQ(flow.windows.size(), 1u);
  ExpectWarningBox(flow.windows[0], L"Authentication Error", CommunicationsError(500, 1208));
  EXPECT_EQ(flow.calls.size(), 1u);
  ASSERT_EQ(flow.requests.size(), 1u);
  EXPECT_EQ(flow.requests[0].body, GetKeyBody("alice", Password));
  EXPECT_FALSE(FileExists(KeyPath()));
  ExpectPasswordNowhere(flow);
  ExpectClientStarted();
}

// --- opt-in trust in the key service ---

TEST_F(SingleUserFlow, KeyServiceOutsideThePinsGetsHeadersButNoBody) {
  WriteKeyFiles();
  InstallCredUiStandIn({});
  const std::wstring otherPin = L"sha256//" + std::wstring(43, L'A') + L"=";
  SetRegString(SessionKey(L"vrd"), L"ServerKeyPins", otherPin + L";" + otherPin.substr(0, 50) + L"E=");
  KeyServiceQueueReply(200, KeysGood);

  const FlowRun flow = Run();
  EXPECT_EQ(KeyLines(flow.run),
            Concat(FoundRows(), {L"[tollbury] The key service's certificate for session 'vrd' does not match "
                                 L"ServerKeyPins; nothing was sent. It shows " +
                                 Utf8ToWide(KeyServicePin())}));
  ASSERT_EQ(flow.windows.size(), 1u);
  ExpectWarningBox(flow.windows[0], L"Key Validation Error", CommunicationsError(500, PostJsonServerKeyMismatch));
  const std::vector<RecordedRequest> requests = KeyServiceWaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("Content-Length"), std::to_string(ValidateKeyBody().size()));
  EXPECT_FALSE(requests[0].bodyComplete);
  EXPECT_EQ(requests[0].body, "");
  EXPECT_EQ(Contents(KeyPath()), KeyContent);
  EXPECT_EQ(Contents(UploadKeyPath()), UploadKeyContent);
  ExpectClientStarted();
}

TEST_F(SingleUserFlow, UnusablePinListSendsNothing) {
  // The session's own correct pin does not save a list with a broken entry.
  InstallCredUiStandIn({ConfirmWith(L"alice", WidePassword)});
  SetRegString(SessionKey(L"vrd"), L"ServerKeyPins", Utf8ToWide(KeyServicePin()) + L";sha256//abc");
  const int connections = KeyServiceConnectionsAccepted();

  const FlowRun flow = Run();
  EXPECT_EQ(KeyLines(flow.run),
            (Lines{L"[tollbury] ServerKeyPins for session 'vrd' is not a valid pin list: pin 2 is not the base64 "
                   L"text of a SHA-256 digest (44 characters). Nothing is sent to the key service.",
                   MissingRow, PromptRow}));
  ASSERT_EQ(flow.windows.size(), 1u);
  ExpectWarningBox(flow.windows[0], L"Authentication Error", CommunicationsError(500, PostJsonKeyPinsMalformed));
  EXPECT_EQ(flow.calls.size(), 1u);
  EXPECT_TRUE(flow.requests.empty());
  EXPECT_EQ(KeyServiceConnectionsAccepted(), connections);
  ExpectPasswordNowhere(flow);
  ExpectClientStarted();
}

TEST_F(SingleUserFlow, VerifiedCertificateRefusesTheSelfSignedService) {
  WriteKeyFiles();
  InstallCredUiStandIn({});
  SetRegDword(SessionKey(L"vrd"), L"VerifyServerCertificate", 1);
  KeyServiceQueueReply(200, KeysGood);

  const FlowRun flow = Run();
  // Windows reports ERROR_WINHTTP_SECURE_FAILURE, Wine 12157.
  const int code = flow.windows.empty() || flow.windows[0].text.find(L"=12157") == std::wstring::npos
                       ? ERROR_WINHTTP_SECURE_FAILURE
                       : ERROR_WINHTTP_SECURE_CHANNEL_ERROR;
  EXPECT_EQ(KeyLines(flow.run),
            Concat(FoundRows(), {L"[tollbury] The secure connection to the key service for session 'vrd' failed "
                                 L"with VerifyServerCertificate on (error " +
                                 std::to_wstring(code) + L"); nothing was sent."}));
  ASSERT_EQ(flow.windows.size(), 1u);
  EXPECT_EQ(flow.windows[0].text, CommunicationsError(500, code));
  EXPECT_EQ(flow.windows[0].caption, L"Key Validation Error");
  EXPECT_TRUE(flow.requests.empty());
  EXPECT_EQ(Contents(KeyPath()), KeyContent);
  ExpectClientStarted();
}

// Another process holds one key file without sharing for longer than the
// program waits: it can neither be hashed (so keys are fetched) nor
// replaced. Both new keys are staged first; the key file is moved first.
TEST_F(SingleUserFlow, KeyFileHeldTooLongIsReportedAndThePairKeptWhereItCanBe) {
  const struct {
    const char* title;
    bool holdKeyFile;
    Lines lines;
  } cases[] = {
      {"key file held: neither replaced",
       true,
       {MissingRow, PromptRow, L"[tollbury] Key files not replaced; the previous pair is kept."}},
      {"upload key file held: the log says which file holds which",
       false,
       {MissingRow, PromptRow, WroteRow,
        L"[tollbury] Key files do not match: " + KeyPath() + L" holds the new key, " + UploadKeyPath() +
            L" the previous upload key."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    SetUp();
    ASSERT_TRUE(WriteFileBytes(KeyPath(), "old key"));
    ASSERT_TRUE(WriteFileBytes(UploadKeyPath(), "old upload key"));
    const std::wstring held = c.holdKeyFile ? KeyPath() : UploadKeyPath();
    FileHolder holder = HoldFile(held, 120000);
    ASSERT_TRUE(StillHeld(holder));
    InstallCredUiStandIn({ConfirmWith(L"alice", WidePassword), ConfirmWith(L"alice", WidePassword)});
    KeyServiceQueueReply(200, KeysIssuedReply());

    const FlowRun flow = Run();
    EXPECT_TRUE(StillHeld(holder));
    ReleaseFile(holder, true);
    EXPECT_EQ(KeyLines(flow.run), c.lines);
    ASSERT_EQ(flow.windows.size(), 1u);
    const std::wstring prefix = L"Problem writing to " + held + L" file:\nError Code=";
    EXPECT_EQ(flow.windows[0].caption, L"File Write Error");
    ASSERT_EQ(flow.windows[0].text.rfind(prefix, 0), 0u) << WideToUtf8(flow.windows[0].text);
    const std::wstring code = flow.windows[0].text.substr(prefix.size());
    EXPECT_TRUE(code == L"5" || code == L"32") << "access denied or sharing violation, got " << WideToUtf8(code);
    EXPECT_EQ(flow.calls.size(), 1u) << "a failed write does not ask again";
    EXPECT_EQ(Contents(KeyPath()), c.holdKeyFile ? std::string("old key") : IssuedKey);
    EXPECT_EQ(Contents(UploadKeyPath()), "old upload key");
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((ClientRoot() + L"*.tmp").c_str(), &entry);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "temporary files left behind";
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    ExpectClientStarted();
  }
}

// Another user's private key files cannot be read. Wine enforces no file
// access list; a folder by the file's name fails the same CreateFileW with
// ERROR_ACCESS_DENIED. The key file is missing: the pair cannot be replaced.
TEST_F(SingleUserFlow, KeyFilesOfAnotherUserGetOneWarningAndNoPrompt) {
  ASSERT_TRUE(CreateDirectoryW(UploadKeyPath().c_str(), nullptr));
  InstallCredUiStandIn({ConfirmWith(L"alice", WidePassword)});

  const FlowRun flow = Run();
  const std::wstring line = L"The key files of session 'vrd' belong to another Windows user; keys are not checked.";
  EXPECT_EQ(KeyLines(flow.run), (Lines{L"[tollbury] " + line}));
  ASSERT_EQ(flow.windows.size(), 1u);
  ExpectWarningBox(flow.windows[0], L"Warning",
                   line + L"\n\nAn administrator can delete " + KeyPath() + L" and " + UploadKeyPath() +
                       L"; the next start then asks for the account's credentials.");
  EXPECT_TRUE(flow.calls.empty() && flow.requests.empty() && !FileExists(KeyPath()));
  ExpectClientStarted();
}

TEST_F(SingleUserFlow, DialogThatKeepsFailingIsGivenUp) {
  InstallCredUiStandIn({FailDialog(1400), FailDialog(5), ConfirmWith(L"alice", L""), FailDialog(1400), FailDialog(1400),
                        FailDialog(1400), ConfirmWith(L"alice", WidePassword)});

  const FlowRun flow = Run();
  // An empty entry breaks the run of failures; three in a row end the fetch.
  EXPECT_EQ(flow.calls.size(), 6u);
  EXPECT_EQ(KeyLines(flow.run),
            (Lines{MissingRow, PromptRow,
                   L"[tollbury] The credentials dialog keeps failing with error 1400.  Not fetching keys."}));
  for (const CredUiCall& call : flow.calls) {
    EXPECT_EQ(call.flags, PromptFlags);
    EXPECT_EQ(call.message, FirstPrompt);
  }
  EXPECT_TRUE(flow.requests.empty());
  EXPECT_TRUE(flow.windows.empty());
  ExpectClientStarted();
}

TEST_F(SingleUserFlow, OverlongKeyFilePathsAreRefused) {
  // 215 characters still name a registry key, but not a key file path.
  const std::wstring session(215, L's');
  SetRegDword(SessionKey(session), L"SingleUser", 1);
  SetRegString(SessionKey(session), L"Server", ServiceUrl());
  InstallCredUiStandIn({ConfirmWith(L"alice", WidePassword)});

  const FlowRun flow = Run({}, L"-no_upgrade -load " + session);
  EXPECT_EQ(KeyLines(flow.run), (Lines{L"[tollbury] The key file paths for session '" + session +
                                       L"' do not fit 260 characters.  Keys cannot be checked."}));
  EXPECT_TRUE(flow.requests.empty());
  EXPECT_TRUE(flow.calls.empty());
  EXPECT_TRUE(flow.windows.empty());
  ExpectClientStarted();
}

// --- through the platform's own credentials dialog ---

TEST_F(SingleUserFlow, RealDialogFetchesKeys) {
  KeyServiceQueueReply(200, KeysIssuedReply());

  const FlowRun flow = Run({{true, L"alice", WidePassword}});
  ASSERT_EQ(flow.windows.size(), 1u);
  EXPECT_EQ(flow.windows[0].caption, Caption);
  EXPECT_EQ(flow.windows[0].text, FirstPrompt);
  ASSERT_EQ(flow.requests.size(), 1u);
  // The platform's dialog may hand the name back as "\alice"; it is sent as typed.
  EXPECT_EQ(flow.requests[0].body, GetKeyBody("alice", Password));
  EXPECT_EQ(KeyLines(flow.run), (Lines{MissingRow, PromptRow, WroteRow, WroteRow}));
  EXPECT_EQ(Contents(KeyPath()), IssuedKey);
  EXPECT_EQ(Contents(UploadKeyPath()), IssuedUploadKey);
  ExpectPasswordNowhere(flow);
  ExpectClientStarted();
}

TEST_F(SingleUserFlow, RealDialogShowsTheServiceMessageThenCancels) {
  KeyServiceQueueReply(200, Rejection("Account locked"));

  const FlowRun flow = Run({{true, L"alice", WidePassword}, {false, L"", L""}});
  ASSERT_EQ(flow.windows.size(), 2u);
  EXPECT_EQ(flow.windows[0].text, FirstPrompt);
  EXPECT_EQ(flow.windows[1].caption, Caption);
  EXPECT_EQ(flow.windows[1].text, L"Account locked.  Please try again:");
  EXPECT_EQ(flow.requests.size(), 1u);
  EXPECT_EQ(KeyLines(flow.run), (Lines{MissingRow, PromptRow}));
  EXPECT_FALSE(FileExists(KeyPath()));
  ExpectPasswordNowhere(flow);
  ExpectClientStarted();
}

// --- without a display (run by its own test entry, without DISPLAY) ---

TEST(SingleUserWithoutDisplay, FailingDialogIsGivenUp) {
  if (DisplayAvailable()) GTEST_SKIP() << "needs a run without DISPLAY";
  SetUpPlainMachine();
  SetRegDword(SessionKey(L"vrd"), L"SingleUser", 1);
  SetRegString(SessionKey(L"vrd"), L"Server", ServiceUrl());
  ResetClientRoot();
  AddVersionDir(L"1.2.3");
  PrepareInstall();
  KeyServiceReset();

  const LauncherRun run = RunLauncher(L"-no_upgrade", 90000);
  EXPECT_TRUE(run.finished);
  EXPECT_EQ(KeyLines(run),
            (Lines{MissingRow, PromptRow,
                   L"[tollbury] The credentials dialog keeps failing with error 1400.  Not fetching keys."}));
  EXPECT_TRUE(KeyServiceRequests().empty());
  ClientRecord record;
  EXPECT_TRUE(WaitForClientRecord(L"1.2.3", record));
}

}  // namespace
