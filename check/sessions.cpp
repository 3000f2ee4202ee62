#include "check/sessions.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

#include "check/service.h"
#include "check/updates.h"
#include "keys/key_files.h"
#include "keys/service_trust.h"
#include "launcher/session_settings.h"
#include "sys/client_root.h"
#include "sys/handle_guard.h"
#include "sys/md5.h"

namespace {

constexpr int ReadersSize = 384;
constexpr int AccountNameSize = 256;
constexpr DWORD ReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
constexpr wchar_t SessionsKeyPath[] = L"SOFTWARE\\Verdanto\\Client\\sessions";

struct CurrentUser {
  DWORD token[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1];
  PSID sid;
};

bool ReadCurrentUser(CurrentUser& user) {
  user.sid = nullptr;
  ScopedKernelHandle token;
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.handle)) {
    token.handle = nullptr;
    return false;
  }
  if (!GetTokenInformation(token.handle, TokenUser, user.token, sizeof(user.token), &size)) return false;
  user.sid = reinterpret_cast<TOKEN_USER*>(user.token)->User.Sid;
  return true;
}

// Whoever a key file is meant for: the user whose starts fetched it,
// SYSTEM and the administrators.
bool MayHoldKeys(PSID sid, const CurrentUser& user) {
  return (user.sid && EqualSid(sid, user.sid)) || IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

void AppendText(wchar_t (&list)[ReadersSize], const wchar_t* text) {
  const size_t length = std::wcslen(list);
  _snwprintf(list + length, ReadersSize - 1 - length, L"%ls%ls", length > 0 ? L", " : L"", text);
  list[ReadersSize - 1] = L'\0';
}

void AppendAccountName(wchar_t (&list)[ReadersSize], PSID sid) {
  wchar_t name[AccountNameSize];
  wchar_t domain[AccountNameSize];
  DWORD nameSize = AccountNameSize;
  DWORD domainSize = AccountNameSize;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
    wchar_t account[2 * AccountNameSize];
    _snwprintf(account, 2 * AccountNameSize - 1, domain[0] ? L"%ls\\%ls" : L"%ls%ls", domain, name);
    account[2 * AccountNameSize - 1] = L'\0';
    AppendText(list, account);
    return;
  }
  wchar_t* text = nullptr;
  if (ConvertSidToStringSidW(sid, &text)) {
    AppendText(list, text);
    LocalFree(text);
  }
}

// Everyone else whom the file's access list lets read it. Returns 0 or the
// error of reading the list.
DWORD ListOtherReaders(const wchar_t* path, const CurrentUser& user, wchar_t (&readers)[ReadersSize]) {
  readers[0] = L'\0';
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                            nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return error;
  if (dacl == nullptr) AppendText(readers, L"everyone (the file has no access list)");
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    const ACCESS_ALLOWED_ACE* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Header.AceFlags & INHERIT_ONLY_ACE) != 0 ||
        (ace->Mask & ReadRights) == 0)
      continue;
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    if (!MayHoldKeys(sid, user)) AppendAccountName(readers, sid);
  }
  LocalFree(descriptor);
  return 0;
}

void CheckReaders(CheckReport& report, const wchar_t* area, const wchar_t* path) {
  CurrentUser user;
  ReadCurrentUser(user);
  wchar_t readers[ReadersSize];
  const DWORD error = ListOtherReaders(path, user, readers);
  if (error != 0)
    AddFinding(report, FindingStatus::Warn, area, L"who may read %ls cannot be told (error %lu)", path, error);
  else if (readers[0] != L'\0')
    AddFinding(report, FindingStatus::Warn, area,
               L"%ls can also be read by %ls: they could use the account's keys; delete both key files, and the "
               L"next start writes them anew for this user alone",
               path, readers);
  else
    AddFinding(report, FindingStatus::Ok, area, L"%ls is private to this user, SYSTEM and Administrators", path);
}

// Returns HashFileMd5's result.
DWORD CheckKeyFile(CheckReport& report, const wchar_t* area, const wchar_t* path, wchar_t (&digest)[Md5HexSize]) {
  const DWORD hashed = HashFileMd5(path, digest);
  if (hashed == 0) {
    AddFinding(report, FindingStatus::Ok, area, L"%ls is present, MD5 %ls", path, digest);
    CheckReaders(report, area, path);
  } else if (hashed == ERROR_FILE_NOT_FOUND || hashed == ERROR_PATH_NOT_FOUND) {
    AddFinding(report, FindingStatus::Warn, area,
               L"%ls is missing: a start asks for the account's credentials and fetches new key files", path);
  } else if (hashed == ERROR_ACCESS_DENIED) {
    AddFinding(report, FindingStatus::Fail, area,
               L"%ls cannot be read by this user: a start says the key files belong to another Windows user and "
               L"checks no keys; an administrator deletes both files",
               path);
  } else {
    AddFinding(report, FindingStatus::Fail, area,
               L"%ls cannot be read (error %lu): a start counts both key files as missing and fetches new ones",
               path, hashed);
  }
  return hashed;
}

void CheckTrust(CheckReport& report, const wchar_t* area, const ServerTrust& trust) {
  if (trust.pinsMalformed)
    AddFinding(report, FindingStatus::Fail, area,
               L"ServerKeyPins is not a valid pin list: %ls; a start sends nothing to the key service", trust.pinProblem);
  else if (trust.pinned)
    AddFinding(report, FindingStatus::Ok, area, L"ServerKeyPins holds %d pin%ls", trust.pins.count,
               trust.pins.count == 1 ? L"" : L"s");
  if (trust.verifyCertificate)
    AddFinding(report, FindingStatus::Ok, area,
               L"VerifyServerCertificate is on: Windows' validation must accept the service's certificate");
  else if (trust.pinned && !trust.pinsMalformed)
    AddFinding(report, FindingStatus::Ok, area, L"VerifyServerCertificate is off: the pins alone vouch for the service");
  if (!trust.pinned && !trust.verifyCertificate)
    AddFinding(report, FindingStatus::Warn, area,
               L"neither ServerKeyPins nor VerifyServerCertificate is set: a start accepts any certificate, so "
               L"anyone on the way could pose as the key service; set ServerKeyPins to the pin shown below");
}

void CheckSingleUser(CheckReport& report, const wchar_t* area, SessionSummary& summary, const ServiceTrust& session,
                     bool offline) {
  if (summary.serviceUrl[0] == L'\0') {
    summary.validation = Validation::Error;
    AddFinding(report, FindingStatus::Fail, area,
               L"single-user, but Server is missing or too long for a service URL: a start checks no keys; set "
               L"Server");
    return;
  }
  AddFinding(report, FindingStatus::Ok, area, L"single-user; the key service is %ls", summary.serviceUrl);
  LogServiceTrustProblems(session);
  const ServerTrust& trust = session.server;
  CheckTrust(report, area, trust);

  KeyDigests digests = {};
  wchar_t root[PathSize];
  wchar_t keyPath[PathSize];
  wchar_t uploadKeyPath[PathSize];
  if (!GetClientRootDirectory(root) || !BuildKeyFilePaths(root, summary.name, keyPath, uploadKeyPath)) {
    AddFinding(report, FindingStatus::Fail, area,
               L"the key file paths cannot be formed (the session name is too long): a start checks no keys");
  } else {
    const DWORD key = CheckKeyFile(report, area, keyPath, digests.key);
    const DWORD uploadKey = CheckKeyFile(report, area, uploadKeyPath, digests.uploadKey);
    digests.present = key == 0 && uploadKey == 0;
  }
  CheckService(report, area, summary, trust, digests, offline);
}

void CheckOneSession(CheckReport& report, const wchar_t* name, bool updateCheckRuns, bool offline) {
  wchar_t area[FindingAreaSize];
  _snwprintf(area, FindingAreaSize - 1, L"session '%ls'", name);
  area[FindingAreaSize - 1] = L'\0';
  SessionSummary* summary = AddSessionSummary(report, name);
  if (summary == nullptr) {
    AddFinding(report, FindingStatus::Warn, area, L"not checked: more than %d sessions", MaxCheckedSessions);
    return;
  }
  SessionSettings settings;
  ReadSessionSettings(name, settings);
  summary->singleUser = settings.singleUser;
  std::wmemcpy(summary->serviceUrl, settings.serviceUrl, std::wcslen(settings.serviceUrl) + 1);
  const wchar_t* keyPath = settings.keyPath;
  ScopedRegKey key;
  const LSTATUS opened = keyPath[0] ? RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key.handle)
                                    : ERROR_FILENAME_EXCED_RANGE;
  if (opened != ERROR_SUCCESS) {
    key.handle = nullptr;
    AddFinding(report, updateCheckRuns ? FindingStatus::Fail : FindingStatus::Warn, area,
               updateCheckRuns ? L"its registry key cannot be read (error %ld): a start that checks for updates "
                                 L"ends with exit code 2 and launches no client; create the session's key"
                               : L"its registry key cannot be read (error %ld): a start counts it as not single-user",
               static_cast<long>(opened));
    return;
  }
  CheckSessionFeed(report, area, key.handle, name, updateCheckRuns, offline);
  if (!summary->singleUser) {
    AddFinding(report, FindingStatus::Ok, area, L"not a single-user session: a start checks no key files");
    return;
  }
  CheckSingleUser(report, area, *summary, settings.trust, offline);
}

}  // namespace

void CheckSessions(CheckReport& report, const wchar_t* onlySession, bool updateCheckRuns, bool offline) {
  if (onlySession != nullptr) {
    CheckOneSession(report, onlySession, updateCheckRuns, offline);
    return;
  }
  bool sawDefault = false;
  ScopedRegKey sessions;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SessionsKeyPath, 0, KEY_READ, &sessions.handle) != ERROR_SUCCESS)
    sessions.handle = nullptr;
  for (DWORD index = 0; sessions.handle != nullptr; ++index) {
    wchar_t name[SessionNameSize];
    DWORD length = SessionNameSize;
    const LSTATUS listed = RegEnumKeyExW(sessions.handle, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (listed == ERROR_NO_MORE_ITEMS) break;
    if (listed != ERROR_SUCCESS) continue;  // a name longer than any session name
    sawDefault = sawDefault || _wcsicmp(name, L"vrd") == 0;
    CheckOneSession(report, name, updateCheckRuns, offline);
  }
  if (!sawDefault) CheckOneSession(report, L"vrd", updateCheckRuns, offline);
}
