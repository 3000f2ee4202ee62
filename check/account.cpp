#include "check/account.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

#include "sys/handle_guard.h"

namespace {

constexpr int NamePartSize = 256;

struct KnownServiceAccount {
  const wchar_t* sid;
  ServiceAccount account;
  const wchar_t* name;
};

// In the order of the enumeration, None aside.
const KnownServiceAccount ServiceAccounts[] = {
    {L"S-1-5-18", ServiceAccount::LocalSystem, L"SYSTEM"},
    {L"S-1-5-19", ServiceAccount::LocalService, L"LocalService"},
    {L"S-1-5-20", ServiceAccount::NetworkService, L"NetworkService"},
};

const wchar_t* ServiceAccountName(ServiceAccount account) {
  return account == ServiceAccount::None ? L"" : ServiceAccounts[static_cast<int>(account) - 1].name;
}

// False, with nothing read, when the process token cannot be queried.
bool ReadRunningAccount(CheckReport& report) {
  ScopedKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.handle)) {
    token.handle = nullptr;
    return false;
  }
  DWORD user[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1];
  DWORD size = 0;
  if (!GetTokenInformation(token.handle, TokenUser, user, sizeof(user), &size)) return false;
  const PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  wchar_t* sidText = nullptr;
  if (!ConvertSidToStringSidW(sid, &sidText)) return false;
  _snwprintf(report.sid, SidTextSize - 1, L"%ls", sidText);
  report.sid[SidTextSize - 1] = L'\0';
  LocalFree(sidText);
  SID_NAME_USE use;
  if (!LookUpAccount(sid, report.account, use))
    _snwprintf(report.account, AccountTextSize - 1, L"%ls", L"(name unknown)");
  report.serviceAccount = ServiceAccountOf(report.sid);
  TOKEN_ELEVATION elevation = {};
  report.elevated = GetTokenInformation(token.handle, TokenElevation, &elevation, sizeof(elevation), &size) &&
                    elevation.TokenIsElevated != 0;
  return true;
}

}  // namespace

bool LookUpAccount(PSID sid, wchar_t (&account)[AccountTextSize], SID_NAME_USE& use) {
  wchar_t name[NamePartSize];
  wchar_t domain[NamePartSize];
  DWORD nameSize = NamePartSize;
  DWORD domainSize = NamePartSize;
  account[0] = L'\0';
  if (!LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) return false;
  _snwprintf(account, AccountTextSize - 1, domain[0] ? L"%ls\\%ls" : L"%ls%ls", domain, name);
  account[AccountTextSize - 1] = L'\0';
  return true;
}

bool RunByServiceAccount(const CheckReport& report) { return report.serviceAccount != ServiceAccount::None; }

ServiceAccount ServiceAccountOf(const wchar_t* sid) {
  for (const auto& known : ServiceAccounts)
    if (_wcsicmp(sid, known.sid) == 0) return known.account;
  return ServiceAccount::None;
}

void CheckAccount(CheckReport& report) {
  if (!ReadRunningAccount(report)) {
    AddFinding(report, FindingStatus::Warn, L"account", L"the account that runs the check cannot be told (error %lu)",
               GetLastError());
    return;
  }
  const wchar_t* elevation = report.elevated ? L"elevated" : L"not elevated";
  if (report.serviceAccount == ServiceAccount::None)
    AddFinding(report, FindingStatus::Ok, L"account", L"run by %ls (%ls), %ls", report.account, report.sid, elevation);
  else
    AddFinding(report, FindingStatus::Ok, L"account",
               L"run by %ls (%ls), %ls, Windows' %ls account: the route, the proxy sign-in and the rights found below "
               L"are this account's, not a user's; run the check as a user to see what that user's starts find",
               report.account, report.sid, elevation, ServiceAccountName(report.serviceAccount));
}
