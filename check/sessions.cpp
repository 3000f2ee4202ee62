#include "check/sessions.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "check/account.h"
#include "check/key_access.h"
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
constexpr wchar_t SessionsKeyPath[] = L"SOFTWARE\\Verdanto\\Client\\sessions";
constexpr wchar_t RewriteAdvice[] =
    L"they could use the account's keys; delete both key files, and the next start writes them anew for its user alone";

// A key file's access list as the judgement takes it, with the SID of each
// entry to name it by.
struct KeyFileAccess {
  int count;
  AccessEntry entries[MaxAccessEntries];
  PSID sids[MaxAccessEntries];
};

// SIDs that name no account this machine can look up: a domain's (S-1-5-21-...)
// may be a user's, anything else is taken for a group.
bool IsDomainSid(PSID sid) {
  const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
  return std::memcmp(authority, &nt, sizeof(nt)) == 0 && *GetSidSubAuthorityCount(sid) > 0 &&
         *GetSidSubAuthority(sid, 0) == SECURITY_NT_NON_UNIQUE;
}

TrusteeKind TrusteeOf(PSID sid) {
  if (IsWellKnownSid(sid, WinLocalSystemSid)) return TrusteeKind::System;
  if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return TrusteeKind::Administrators;
  if (IsWellKnownSid(sid, WinWorldSid)) return TrusteeKind::Everyone;
  wchar_t account[AccountTextSize];
  SID_NAME_USE use;
  if (LookUpAccount(sid, account, use)) return use == SidTypeUser ? TrusteeKind::User : TrusteeKind::Group;
  return IsDomainSid(sid) ? TrusteeKind::User : TrusteeKind::Group;
}

// Entries that apply to the file itself and allow or deny; conditional
// denials may not hold, so only plain ones count.
bool ReadEntryKind(const ACE_HEADER& header, AceKind& kind) {
  if ((header.AceFlags & INHERIT_ONLY_ACE) != 0) return false;
  kind = header.AceType == ACCESS_DENIED_ACE_TYPE ? AceKind::Deny : AceKind::Allow;
  return header.AceType == ACCESS_ALLOWED_ACE_TYPE || header.AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
         header.AceType == ACCESS_DENIED_ACE_TYPE;
}

void AddAccessEntry(KeyFileAccess& access, AceKind kind, unsigned long mask, PSID sid) {
  int identity = access.count;
  for (int seen = 0; seen < access.count; ++seen)
    if (EqualSid(access.sids[seen], sid)) identity = access.entries[seen].identity;
  access.sids[access.count] = sid;
  access.entries[access.count++] = AccessEntry{kind, mask, TrusteeOf(sid), identity};
}

bool NamesOwnerRights(const ACL& dacl) {
  for (DWORD i = 0; i < dacl.AceCount; ++i) {
    void* raw = nullptr;
    AceKind kind;
    if (GetAce(const_cast<ACL*>(&dacl), i, &raw) && ReadEntryKind(*static_cast<ACE_HEADER*>(raw), kind) &&
        IsWellKnownSid(&static_cast<ACCESS_ALLOWED_ACE*>(raw)->SidStart, WinCreatorOwnerRightsSid))
      return true;
  }
  return false;
}

// The owner may always rewrite the list, whatever it denies, unless entries
// for OWNER RIGHTS say what the owner may do instead.
void ReadAccessEntries(const ACL& dacl, PSID owner, KeyFileAccess& access) {
  access.count = 0;
  const bool ownerRights = NamesOwnerRights(dacl);
  if (owner != nullptr && !ownerRights) AddAccessEntry(access, AceKind::Allow, READ_CONTROL | WRITE_DAC, owner);
  for (DWORD i = 0; i < dacl.AceCount && access.count < MaxAccessEntries; ++i) {
    void* raw = nullptr;
    AceKind kind;
    if (!GetAce(const_cast<ACL*>(&dacl), i, &raw) || !ReadEntryKind(*static_cast<ACE_HEADER*>(raw), kind)) continue;
    // The allowed, callback and denied entries all keep the mask and SID in the same place.
    ACCESS_ALLOWED_ACE* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    PSID sid = &ace->SidStart;
    if (IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) {
      if (owner == nullptr) continue;
      sid = owner;
    }
    AddAccessEntry(access, kind, ace->Mask, sid);
  }
}

void AppendText(wchar_t (&list)[ReadersSize], const wchar_t* text) {
  const size_t length = std::wcslen(list);
  _snwprintf(list + length, ReadersSize - 1 - length, L"%ls%ls", length > 0 ? L", " : L"", text);
  list[ReadersSize - 1] = L'\0';
}

void AppendAccountName(wchar_t (&list)[ReadersSize], PSID sid) {
  wchar_t account[AccountTextSize];
  SID_NAME_USE use;
  if (LookUpAccount(sid, account, use)) {
    AppendText(list, account);
    return;
  }
  wchar_t* text = nullptr;
  if (ConvertSidToStringSidW(sid, &text)) {
    AppendText(list, text);
    LocalFree(text);
  }
}

void NameReaders(const KeyFileAccess& access, const int* indexes, int count, wchar_t (&names)[ReadersSize]) {
  names[0] = L'\0';
  for (int i = 0; i < count; ++i) AppendAccountName(names, access.sids[indexes[i]]);
}

void ReportReaders(CheckReport& report, const wchar_t* area, const wchar_t* path, const KeyFileAccess& access) {
  AccessVerdict verdict;
  JudgeKeyFileAccess(access.entries, access.count, verdict);
  wchar_t names[ReadersSize];
  if (verdict.groupCount > 0) {
    NameReaders(access, verdict.groups, verdict.groupCount, names);
    AddFinding(report, FindingStatus::Warn, area, L"%ls can also be read by %ls: %ls", path, names, RewriteAdvice);
  } else if (verdict.userCount > 1) {
    NameReaders(access, verdict.users, verdict.userCount, names);
    AddFinding(report, FindingStatus::Warn, area, L"%ls can be read by more than one user, %ls: %ls", path, names,
               RewriteAdvice);
  } else if (verdict.userCount == 0) {
    AddFinding(report, FindingStatus::Warn, area,
               L"%ls can be read by SYSTEM and Administrators alone: no user holds its keys, and a start by a user "
               L"finds them another user's; delete both key files, and the next start writes them anew for its user",
               path);
  } else {
    NameReaders(access, verdict.users, 1, names);
    AddFinding(report, FindingStatus::Ok, area, L"%ls is private to %ls, who holds its keys, SYSTEM and Administrators",
               path, names);
  }
}

// Judges the file's access list itself, whoever runs the check.
void CheckReaders(CheckReport& report, const wchar_t* area, const wchar_t* path) {
  PACL dacl = nullptr;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    AddFinding(report, FindingStatus::Warn, area, L"who may read %ls cannot be told (error %lu)", path, error);
    return;
  }
  KeyFileAccess access;
  if (dacl == nullptr) {
    AddFinding(report, FindingStatus::Warn, area, L"%ls has no access list, so everyone may read it: %ls", path,
               RewriteAdvice);
  } else if (dacl->AceCount >= MaxAccessEntries) {
    AddFinding(report, FindingStatus::Warn, area, L"who may read %ls cannot be told: its access list has %u entries",
               path, static_cast<unsigned>(dacl->AceCount));
  } else {
    ReadAccessEntries(*dacl, owner, access);
    ReportReaders(report, area, path, access);
  }
  LocalFree(descriptor);
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
  } else if (hashed == ERROR_ACCESS_DENIED && report.serviceAccount != ServiceAccount::None) {
    // LocalService and NetworkService are no readers of a start's key files.
    AddFinding(report, FindingStatus::Ok, area,
               L"%ls cannot be read by this account, %ls: these are this account's rights, not a user's; run the "
               L"check as the user whose starts matter to have the keys validated",
               path, report.account);
  } else if (hashed == ERROR_ACCESS_DENIED) {
    AddFinding(report, FindingStatus::Fail, area,
               L"%ls cannot be read by this user: a start says the key files belong to another Windows user and "
               L"checks no keys; an administrator deletes both files",
               path);
  } else {
    AddFinding(report, FindingStatus::Fail, area,
               L"%ls cannot be read (error %lu): a start counts both key files as missing and fetches new ones", path,
               hashed);
  }
  return hashed;
}

void CheckTrust(CheckReport& report, const wchar_t* area, const ServerTrust& trust) {
  if (trust.pinsMalformed)
    AddFinding(report, FindingStatus::Fail, area,
               L"ServerKeyPins is not a valid pin list: %ls; a start sends nothing to the key service",
               trust.pinProblem);
  else if (trust.pinned)
    AddFinding(report, FindingStatus::Ok, area, L"ServerKeyPins holds %d pin%ls", trust.pins.count,
               trust.pins.count == 1 ? L"" : L"s");
  if (trust.verifyCertificate)
    AddFinding(report, FindingStatus::Ok, area,
               L"VerifyServerCertificate is on: Windows' validation must accept the service's certificate");
  else if (trust.pinned && !trust.pinsMalformed)
    AddFinding(report, FindingStatus::Ok, area,
               L"VerifyServerCertificate is off: the pins alone vouch for the service");
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
  SetRunningStep(report, area);
  SessionSummary* summary = AddSessionSummary(report, name);
  if (summary == nullptr) {
    AddFinding(report, FindingStatus::Warn, area, L"not checked: more than %d sessions", MaxCheckedSessions);
    return;
  }
  SessionSettings settings;
  ReadSessionSettings(name, settings);
  summary->singleUser = settings.singleUser;
  std::wmemcpy(summary->serviceUrl, settings.serviceUrl, std::wcslen(settings.serviceUrl) + 1);
  if (!settings.keyOpened) {
    AddFinding(report, updateCheckRuns ? FindingStatus::Fail : FindingStatus::Warn, area,
               updateCheckRuns ? L"its registry key cannot be read (error %ld): a start that checks for updates "
                                 L"ends with exit code 2 and launches no client; create the session's key"
                               : L"its registry key cannot be read (error %ld): a start counts it as not single-user",
               static_cast<long>(settings.keyError));
    return;
  }
  CheckSessionFeed(report, area, settings, updateCheckRuns, offline);
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
