#include "keys/session_keys.h"

#include <windows.h>
#include <wincred.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "keys/key_files.h"
#include "keys/key_messages.h"
#include "keys/service_trust.h"
#include "net/identity.h"
#include "net/post_json.h"
#include "sys/client_root.h"
#include "sys/debug_log.h"
#include "sys/event_log.h"
#include "sys/limits.h"
#include "sys/md5.h"

namespace {

constexpr int MessageTextSize = 2048;
constexpr int PromptMessageSize = 256;
// The dialog's longest user name (513) and password (256), plus terminators.
// Written out: newer SDKs raise CREDUI_MAX_PASSWORD_LENGTH.
constexpr int UserNameSize = 514;
constexpr int PasswordSize = 257;
// A UTF-16 unit never takes more than three UTF-8 bytes.
constexpr int UserNameUtf8Size = UserNameSize * 3;
constexpr int PasswordUtf8Size = PasswordSize * 3;
// A dialog that fails at once (no desktop, say) would otherwise come back
// for ever; cancelling and empty entries do not count.
constexpr int MaxDialogFailuresInARow = 3;

constexpr DWORD PromptFlags = CREDUI_FLAGS_GENERIC_CREDENTIALS | CREDUI_FLAGS_ALWAYS_SHOW_UI |
                              CREDUI_FLAGS_EXCLUDE_CERTIFICATES | CREDUI_FLAGS_DO_NOT_PERSIST;

const wchar_t FirstPrompt[] = L"Enter your Verdanto account information:";
const wchar_t UnknownErrorPrompt[] = L"Unknown error authenticating.  Please try again:";
const wchar_t RetrySuffix[] = L".  Please try again:";
const wchar_t CommunicationsErrorFormat[] = L"Communications error with Tidewire URL:\n%ls\nStatus=%d, Error Code=%d";
const wchar_t ServerUnsupportedText[] =
    L"You have enabled Single User Authentication but the server does not support it.";

struct ClientIdentity {
  char ipText[ClientTextSize];
  char versionText[ClientTextSize];
};

struct KeyFiles {
  wchar_t keyPath[PathSize];
  wchar_t uploadKeyPath[PathSize];
};

struct FetchState {
  const wchar_t* serviceUrl;
  const ClientIdentity* identity;
  const KeyFiles* files;
  const ServerTrust* trust;
  ProxyRoute* route;
  wchar_t prompt[PromptMessageSize];
  bool failedAttempt;
  bool keepAsking;
  int dialogFailuresInARow;
};

// --- texts ---

void FormatText(wchar_t (&text)[MessageTextSize], const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  // Cuts a longer text; the terminator is set whatever the result.
  _vsnwprintf(text, MessageTextSize - 1, format, args);
  va_end(args);
  text[MessageTextSize - 1] = L'\0';
}

template <int Size>
void CopyText(wchar_t (&target)[Size], const wchar_t* text) {
  int i = 0;
  for (; i < Size - 1 && text[i] != L'\0'; ++i) target[i] = text[i];
  target[i] = L'\0';
}

void ShowWarning(const wchar_t* caption, const wchar_t* text) {
  MessageBoxW(nullptr, text, caption, MB_ICONWARNING | MB_OK);
}

void ShowCommunicationsError(const wchar_t* caption, DWORD eventId, const wchar_t* serviceUrl, int status, int code) {
  wchar_t text[MessageTextSize];
  FormatText(text, CommunicationsErrorFormat, serviceUrl, status, code);
  ReportFailure(eventId, EVENTLOG_ERROR_TYPE, text);
  ShowWarning(caption, text);
}

void ShowFileWriteError(const wchar_t* path, DWORD code) {
  wchar_t text[MessageTextSize];
  FormatText(text, L"Problem writing to %ls file:\nError Code=%d", path, static_cast<int>(code));
  ReportFailure(EventFileWriteError, EVENTLOG_ERROR_TYPE, text);
  ShowWarning(L"File Write Error", text);
}

// The service's message is shown byte for byte, each byte as the character
// of the same value.
void SetRetryPrompt(FetchState& state, const GetKeyOutcome& outcome) {
  if (!outcome.hasMessage) {
    CopyText(state.prompt, UnknownErrorPrompt);
    return;
  }
  wchar_t text[MessageTextSize];
  int length = 0;
  for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(outcome.message);
       *byte != 0 && length < MessageTextSize - 1; ++byte) {
    text[length++] = static_cast<wchar_t>(*byte);
  }
  for (const wchar_t* suffix = RetrySuffix; *suffix != L'\0' && length < MessageTextSize - 1; ++suffix) {
    text[length++] = *suffix;
  }
  text[length] = L'\0';
  CopyText(state.prompt, text);
}

// --- log rows ---

void LogFilesFound(const wchar_t* sessionName, const wchar_t* keyDigest, const wchar_t* uploadKeyDigest) {
  LogText(L"[tollbury] The ");
  LogText(sessionName);
  LogText(L"-key.ppk and ");
  LogText(sessionName);
  LogText(L"-upload-key.ppk files are found.  Must validate them.\n");
  LogText(sessionName);
  LogText(L"-key.ppk: ");
  LogText(keyDigest);
  LogText(L"\n");
  LogText(sessionName);
  LogText(L"-upload-key.ppk: ");
  LogText(uploadKeyDigest);
  LogText(L"\n");
}

void LogFilesMissing(const wchar_t* sessionName) {
  LogText(L"[tollbury] The ");
  LogText(sessionName);
  LogText(L"-key.ppk and ");
  LogText(sessionName);
  LogText(L"-upload-key.ppk files are missing off disk.  Must fetch.\n");
}

// --- validation ---

void DigestToUtf8(const wchar_t* digest, char (&utf8)[Md5HexSize]) {
  if (WideCharToMultiByte(CP_UTF8, 0, digest, -1, utf8, Md5HexSize, nullptr, nullptr) == 0) utf8[0] = '\0';
}

// Another user's private key files (a shared machine) cannot be read, nor
// replaced: asking for credentials would end in a failed write every start.
void ReportKeysOfAnotherUser(const wchar_t* sessionName, const KeyFiles& files) {
  ReportNextLogLine(EventKeyFilesOfAnotherUser, EVENTLOG_WARNING_TYPE);
  LogLine3(L"[tollbury] The key files of session '", sessionName,
           L"' belong to another Windows user; keys are not checked.\n");
  wchar_t text[MessageTextSize];
  FormatText(text,
             L"The key files of session '%ls' belong to another Windows user; keys are not checked.\n\n"
             L"An administrator can delete %ls and %ls; the next start then asks for the account's credentials.",
             sessionName, files.keyPath, files.uploadKeyPath);
  ShowWarning(L"Warning", text);
}

// Returns true when new keys must be fetched.
bool KeysNeedFetching(const wchar_t* serviceUrl, const ClientIdentity& identity, const wchar_t* sessionName,
                      const KeyFiles& files, const ServerTrust& trust, ProxyRoute& route) {
  wchar_t keyDigest[Md5HexSize];
  wchar_t uploadKeyDigest[Md5HexSize];
  // One provider for both digests, held until the validation is over: the
  // secure connection loads some of the DLLs that releasing it unloads.
  Md5Provider md5Provider;
  // Both are tried: either one denied means neither can be replaced.
  const DWORD keyResult = HashFileMd5(files.keyPath, keyDigest, md5Provider);
  const DWORD uploadKeyResult = HashFileMd5(files.uploadKeyPath, uploadKeyDigest, md5Provider);
  if (keyResult == ERROR_ACCESS_DENIED || uploadKeyResult == ERROR_ACCESS_DENIED) {
    ReportKeysOfAnotherUser(sessionName, files);
    return false;
  }
  if (keyResult != 0 || uploadKeyResult != 0) {
    LogFilesMissing(sessionName);
    return true;
  }
  LogFilesFound(sessionName, keyDigest, uploadKeyDigest);

  int status = 500;
  bool accepted = false;
  const int result = ValidateKeyDigests(serviceUrl, identity.versionText, identity.ipText, keyDigest, uploadKeyDigest,
                                        trust, route, status, accepted);
  if (result != 0) {
    ShowCommunicationsError(L"Key Validation Error", EventKeyValidationError, serviceUrl, status, result);
    return false;
  }
  LogText(accepted ? L"[tollbury] Server replied that keys are GOOD.  Using existing ones.\n"
                   : L"[tollbury] Server replied that keys are BAD.  Must fetch new ones.\n");
  return !accepted;
}

// --- fetch ---

void LogPairKept() { LogText(L"[tollbury] Key files not replaced; the previous pair is kept.\n"); }

// Both new keys are staged before either replaces its old file, so that a
// failure keeps the old pair together wherever it can.
void WriteKeyFiles(const KeyFiles& files, const GetKeyOutcome& outcome) {
  const int removed = RemoveLeftoverStagedFiles(files.keyPath);
  if (removed > 0) LogLineNumber(L"[tollbury] Removed ", removed, L" leftover temporary key files.\n");
  wchar_t keyTemporary[PathSize];
  wchar_t uploadKeyTemporary[PathSize];
  const DWORD keyStaged =
      StageFileContents(files.keyPath, outcome.key, static_cast<unsigned long>(outcome.keyLength), keyTemporary);
  if (keyStaged != 0) ShowFileWriteError(files.keyPath, keyStaged);
  const DWORD uploadKeyStaged = StageFileContents(
      files.uploadKeyPath, outcome.uploadKey, static_cast<unsigned long>(outcome.uploadKeyLength), uploadKeyTemporary);
  if (uploadKeyStaged != 0) ShowFileWriteError(files.uploadKeyPath, uploadKeyStaged);
  if (keyStaged != 0 || uploadKeyStaged != 0) {
    if (keyStaged == 0) DiscardStagedFile(keyTemporary);
    if (uploadKeyStaged == 0) DiscardStagedFile(uploadKeyTemporary);
    LogPairKept();
    return;
  }

  const DWORD keyMoved = CommitStagedFile(keyTemporary, files.keyPath);
  if (keyMoved != 0) {
    ShowFileWriteError(files.keyPath, keyMoved);
    DiscardStagedFile(uploadKeyTemporary);
    LogPairKept();
    return;
  }
  LogText(L"[tollbury] Successfully wrote out key file\n");
  const DWORD uploadKeyMoved = CommitStagedFile(uploadKeyTemporary, files.uploadKeyPath);
  if (uploadKeyMoved != 0) {
    ShowFileWriteError(files.uploadKeyPath, uploadKeyMoved);
    LogText(L"[tollbury] Key files do not match: ");
    LogText(files.keyPath);
    LogText(L" holds the new key, ");
    LogText(files.uploadKeyPath);
    LogText(L" the previous upload key.\n");
    return;
  }
  LogText(L"[tollbury] Successfully wrote out key file\n");
}

void ActOnOutcome(FetchState& state, const GetKeyOutcome& outcome) {
  switch (outcome.verdict) {
    case GetKeyVerdict::KeysIssued:
      state.keepAsking = false;
      WriteKeyFiles(*state.files, outcome);
      break;
    case GetKeyVerdict::ServerUnsupported:
      state.keepAsking = false;
      ReportFailure(EventServerUnsupported, EVENTLOG_WARNING_TYPE, ServerUnsupportedText);
      ShowWarning(L"Warning", ServerUnsupportedText);
      break;
    case GetKeyVerdict::Rejected:
      state.failedAttempt = true;
      SetRetryPrompt(state, outcome);
      break;
  }
}

template <int Size>
void ToUtf8(const wchar_t* wide, char (&utf8)[Size]) {
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, Size, nullptr, nullptr) == 0) utf8[0] = '\0';
}

// Every copy of the credentials made here is wiped before returning.
int PostCredentials(const FetchState& state, const wchar_t* userName, const wchar_t* password, char** reply,
                    int* status) {
  char userNameUtf8[UserNameUtf8Size];
  char passwordUtf8[PasswordUtf8Size];
  char body[KeyRequestSize];
  ToUtf8(userName, userNameUtf8);
  ToUtf8(password, passwordUtf8);
  BuildGetKeyRequest(state.identity->versionText, state.identity->ipText, userNameUtf8, passwordUtf8, body);
  const int result =
      PostJson(state.serviceUrl, body, reply, status, state.trust, state.route, nullptr, state.identity->ipText);
  SecureZeroMemory(userNameUtf8, sizeof(userNameUtf8));
  SecureZeroMemory(passwordUtf8, sizeof(passwordUtf8));
  SecureZeroMemory(body, sizeof(body));
  return result;
}

void FetchKeys(FetchState& state, const wchar_t* userName, const wchar_t* password) {
  char* reply = nullptr;
  int status = 500;
  const int result = PostCredentials(state, userName, password, &reply, &status);
  if (result != 0) {
    state.keepAsking = false;
    ShowCommunicationsError(L"Authentication Error", EventAuthenticationError, state.serviceUrl, status, result);
  } else {
    GetKeyOutcome outcome;
    ReadGetKeyReply(reply, outcome);
    ActOnOutcome(state, outcome);
  }
  std::free(reply);
}

DWORD PromptForCredentials(const FetchState& state, wchar_t (&userName)[UserNameSize],
                           wchar_t (&password)[PasswordSize]) {
  CREDUI_INFOW info = {};
  info.cbSize = sizeof(info);
  info.hwndParent = nullptr;
  info.pszMessageText = state.prompt;
  info.pszCaptionText = L"Verdanto Credentials";
  info.hbmBanner = nullptr;
  BOOL save = FALSE;
  const DWORD flags = PromptFlags | (state.failedAttempt ? CREDUI_FLAGS_INCORRECT_PASSWORD : 0);
  return CredUIPromptForCredentialsW(&info, L"", nullptr, 0, userName, UserNameSize, password, PasswordSize, &save,
                                     flags);
}

void NoteDialogFailure(FetchState& state, DWORD code) {
  if (++state.dialogFailuresInARow < MaxDialogFailuresInARow) return;
  state.keepAsking = false;
  LogLineNumber(L"[tollbury] The credentials dialog keeps failing with error ", code, L".  Not fetching keys.\n");
}

void RunPromptPass(FetchState& state) {
  wchar_t userName[UserNameSize];
  wchar_t password[PasswordSize];
  userName[0] = L'\0';
  password[0] = L'\0';
  const DWORD result = PromptForCredentials(state, userName, password);
  if (result == ERROR_CANCELLED) {
    state.keepAsking = false;
  } else if (result != NO_ERROR) {
    NoteDialogFailure(state, result);
  } else {
    state.dialogFailuresInARow = 0;
    if (userName[0] != L'\0' && password[0] != L'\0') FetchKeys(state, userName, password);
  }
  SecureZeroMemory(userName, sizeof(userName));
  SecureZeroMemory(password, sizeof(password));
}

void FetchNewKeys(const wchar_t* serviceUrl, const ClientIdentity& identity, const KeyFiles& files,
                  const ServerTrust& trust, ProxyRoute& route) {
  LogText(L"[tollbury] Prompting for password and fetching remote key\n");
  FetchState state;
  state.serviceUrl = serviceUrl;
  state.identity = &identity;
  state.files = &files;
  state.trust = &trust;
  state.route = &route;
  CopyText(state.prompt, FirstPrompt);
  state.failedAttempt = false;
  state.keepAsking = true;
  state.dialogFailuresInARow = 0;
  while (state.keepAsking) RunPromptPass(state);
}

}  // namespace

int ValidateKeyDigests(const wchar_t* serviceUrl, const char* clientVersion, const char* clientIp,
                       const wchar_t* keyDigest, const wchar_t* uploadKeyDigest, const ServerTrust& trust,
                       ProxyRoute& route, int& status, bool& accepted, PostJsonTrace* trace) {
  char keyDigestUtf8[Md5HexSize];
  char uploadKeyDigestUtf8[Md5HexSize];
  DigestToUtf8(keyDigest, keyDigestUtf8);
  DigestToUtf8(uploadKeyDigest, uploadKeyDigestUtf8);
  char body[KeyRequestSize];
  BuildValidateKeyRequest(clientVersion, clientIp, keyDigestUtf8, uploadKeyDigestUtf8, body);
  char* reply = nullptr;
  status = 500;
  accepted = false;
  const int result = PostJson(serviceUrl, body, &reply, &status, &trust, &route, trace, clientIp);
  if (result == 0) accepted = JudgeValidateKeyReply(reply);
  std::free(reply);
  return result;
}

void EnsureSessionKeys(const wchar_t* serviceUrl, const wchar_t* sessionName, const ServiceTrust& trust) {
  ClientIdentity identity;
  GetClientIpAddress(identity.ipText);
  GetClientVersionString(identity.versionText);

  wchar_t clientRoot[PathSize];
  if (!GetClientRootDirectory(clientRoot)) {
    LogText(L"[tollbury] Cannot locate the client directory for the key files.  Keys cannot be checked.\n");
    return;
  }
  KeyFiles files;
  if (!BuildKeyFilePaths(clientRoot, sessionName, files.keyPath, files.uploadKeyPath)) {
    LogLine3(L"[tollbury] The key file paths for session '", sessionName,
             L"' do not fit 260 characters.  Keys cannot be checked.\n");
    return;
  }
  LogServiceTrustProblems(trust);
  // Both requests of this start take the way the first one found.
  ProxyRoute route = {};
  if (KeysNeedFetching(serviceUrl, identity, sessionName, files, trust.server, route))
    FetchNewKeys(serviceUrl, identity, files, trust.server, route);
}
