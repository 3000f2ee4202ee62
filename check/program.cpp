#include "check/program.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdlib>
#include <cstdio>
#include <cwchar>

#include "net/identity.h"
#include "sys/client_root.h"

namespace {

constexpr wchar_t Area[] = L"program";
constexpr int SignerSize = 256;

// The subject of the signing certificate, "" when there is none.
void ReadSigner(HANDLE state, wchar_t (&signer)[SignerSize]) {
  signer[0] = L'\0';
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signerData = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  if (!signerData || signerData->csCertChain == 0 || !signerData->pasCertChain[0].pCert) return;
  CertGetNameStringW(signerData->pasCertChain[0].pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, signer,
                     SignerSize);
}

// WinVerifyTrust's verdict on the file's Authenticode signature, with no
// window; offline, revocation is judged from what the machine holds.
LONG VerifySignature(const wchar_t* path, bool offline, wchar_t (&signer)[SignerSize]) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = offline ? WTD_CACHE_ONLY_URL_RETRIEVAL : 0;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  ReadSigner(data.hWVTStateData, signer);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return verdict;
}

bool IsUnsigned(LONG verdict) {
  return verdict == TRUST_E_NOSIGNATURE || verdict == TRUST_E_SUBJECT_FORM_UNKNOWN ||
         verdict == TRUST_E_PROVIDER_UNKNOWN;
}

struct SignatureReading {
  const wchar_t* name;
  LONG verdict;
  wchar_t signer[SignerSize];
};

// A package built without a signing certificate has neither program
// signed; only one of the two unsigned means files of different origins.
void ReportSignature(CheckReport& report, const SignatureReading& reading, const SignatureReading& other,
                     bool offline) {
  const unsigned long code = static_cast<unsigned long>(reading.verdict);
  if (reading.verdict == ERROR_SUCCESS) {
    AddFinding(report, FindingStatus::Ok, Area, L"%ls is signed by \"%ls\" and the signature verifies", reading.name,
               reading.signer);
  } else if (IsUnsigned(reading.verdict)) {
    const bool otherSigned = !IsUnsigned(other.verdict);
    AddFinding(report, otherSigned ? FindingStatus::Warn : FindingStatus::Ok, Area,
               otherSigned ? L"%ls is not signed, but %ls is: the two come from different builds; reinstall the "
                             L"package"
                           : L"%ls is not signed, nor is %ls: the package was built without a signing certificate",
               reading.name, other.name);
  } else if (offline && reading.verdict == CERT_E_REVOCATION_FAILURE) {
    AddFinding(report, FindingStatus::Warn, Area,
               L"%ls is signed by \"%ls\"; whether its certificate was revoked cannot be told offline", reading.name,
               reading.signer);
  } else {
    const bool named = reading.signer[0] != L'\0';
    AddFinding(report, FindingStatus::Fail, Area,
               L"%ls carries a signature that does not verify (0x%08lX%ls%ls%ls): the file was changed after "
               L"signing or its certificate is not trusted here; reinstall the package",
               reading.name, code, named ? L", signer \"" : L"", reading.signer, named ? L"\"" : L"");
  }
}

}  // namespace

bool ReadFileVersionText(const wchar_t* path, wchar_t (&text)[FileVersionTextSize]) {
  text[0] = L'\0';
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return false;
  void* block = std::malloc(size);
  void* value = nullptr;
  UINT length = 0;
  const bool found = block && GetFileVersionInfoW(path, 0, size, block) &&
                     VerQueryValueW(block, L"\\StringFileInfo\\040904b0\\FileVersion", &value, &length) && value;
  if (found) _snwprintf(text, FileVersionTextSize - 1, L"%ls", static_cast<const wchar_t*>(value));
  text[FileVersionTextSize - 1] = L'\0';
  std::free(block);
  return found;
}

void CheckProgram(CheckReport& report, bool offline) {
  GetClientVersionString(report.version);
  SignatureReading check = {L"tollbury-check.exe", TRUST_E_NOSIGNATURE, L""};
  SignatureReading launcher = {L"tollbury.exe", TRUST_E_NOSIGNATURE, L""};
  wchar_t checkPath[PathSize];
  wchar_t launcherPath[PathSize];
  wchar_t checkVersion[FileVersionTextSize] = L"";
  wchar_t launcherVersion[FileVersionTextSize] = L"";
  const DWORD length = GetModuleFileNameW(nullptr, checkPath, PathSize);
  if (length > 0 && length < static_cast<DWORD>(PathSize)) {
    ReadFileVersionText(checkPath, checkVersion);
    check.verdict = VerifySignature(checkPath, offline, check.signer);
    AddFinding(report, FindingStatus::Ok, Area, L"%ls, FileVersion \"%ls\"", checkPath, checkVersion);
  }
  if (!PathBesideProgram(launcher.name, launcherPath) || GetFileAttributesW(launcherPath) == INVALID_FILE_ATTRIBUTES) {
    AddFinding(report, FindingStatus::Fail, Area,
               L"tollbury.exe is not beside tollbury-check.exe; run the check from the launcher's folder, or "
               L"reinstall the package");
    ReportSignature(report, check, launcher, offline);
    return;
  }
  ReadFileVersionText(launcherPath, launcherVersion);
  launcher.verdict = VerifySignature(launcherPath, offline, launcher.signer);
  if (std::wcscmp(launcherVersion, checkVersion) == 0)
    AddFinding(report, FindingStatus::Ok, Area, L"tollbury.exe beside it has the same FileVersion");
  else
    AddFinding(report, FindingStatus::Warn, Area,
               L"tollbury.exe beside it has FileVersion \"%ls\": the findings are those of the check's version; "
               L"install both from one package",
               launcherVersion);
  ReportSignature(report, check, launcher, offline);
  ReportSignature(report, launcher, check, offline);
}
