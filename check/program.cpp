// The chain parameters' retrieval time-out is declared only with this.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "check/program.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "check/signature_verdict.h"
#include "net/identity.h"
#include "sys/client_root.h"

namespace {

constexpr wchar_t Area[] = L"program";
constexpr int SignerSize = 256;
// For all revocation fetches of one program's chain together.
constexpr DWORD RevocationWaitMs = 4000;

bool HasSigningCertificate(const CRYPT_PROVIDER_SGNR* signerData) {
  return signerData && signerData->csCertChain > 0 && signerData->pasCertChain[0].pCert;
}

// The subject of the signing certificate, "" when there is none.
void ReadSigner(const CRYPT_PROVIDER_SGNR* signerData, wchar_t (&signer)[SignerSize]) {
  signer[0] = L'\0';
  if (!HasSigningCertificate(signerData)) return;
  CertGetNameStringW(signerData->pasCertChain[0].pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, signer, SignerSize);
}

// Builds the signer's chain again, this time fetching revocation lists and
// OCSP answers within RevocationWaitMs, as of the time the signature was
// verified for (its timestamp's, when it has one). The root is left out: it
// is trusted for being in the root store, and nothing above it can revoke it.
LONG CheckRevocationOnline(const CRYPT_PROVIDER_SGNR& signerData) {
  const PCCERT_CONTEXT certificate = signerData.pasCertChain[0].pCert;
  CERT_CHAIN_PARA parameters = {};
  parameters.cbSize = sizeof(parameters);
  parameters.dwUrlRetrievalTimeout = RevocationWaitMs;
  FILETIME asOf = signerData.sftVerifyAsOf;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(
          nullptr, certificate, &asOf, certificate->hCertStore, &parameters,
          CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT, nullptr, &chain))
    return HRESULT_FROM_WIN32(GetLastError());
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof(policy);
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  const LONG result = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, &policy, &status)
                          ? static_cast<LONG>(status.dwError)
                          : HRESULT_FROM_WIN32(GetLastError());
  CertFreeCertificateChain(chain);
  return result;
}

// WinVerifyTrust's verdict on the file's Authenticode signature, with no
// window and revocation read from the machine's cache only: unbounded, its
// fetches could take 15 seconds each. When the cache cannot tell, and not
// offline, the signer's chain is checked once more with bounded fetches.
SignatureEvidence VerifySignature(const wchar_t* path, bool offline, wchar_t (&signer)[SignerSize]) {
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
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  SignatureEvidence evidence = {};
  evidence.trust = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  evidence.lastError = GetLastError();  // before any other call can change it
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
  const CRYPT_PROVIDER_SGNR* signerData = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  ReadSigner(signerData, signer);
  if (!offline && RevocationUnknown(evidence.trust) && HasSigningCertificate(signerData)) {
    evidence.chainChecked = true;
    evidence.chain = CheckRevocationOnline(*signerData);
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return evidence;
}

// A version number's digits and dots, for the report's ASCII member.
void CopyDigits(const wchar_t (&version)[ProgramVersionSize], char (&target)[sizeof(CheckReport::programVersion)]) {
  int i = 0;
  for (; i < static_cast<int>(sizeof(target)) - 1 && i < ProgramVersionSize && version[i] != L'\0'; ++i)
    target[i] = static_cast<char>(version[i]);
  target[i] = '\0';
}

struct SignatureReading {
  const wchar_t* name;
  SignatureVerdict verdict;
  LONG code;
  wchar_t signer[SignerSize];
};

void ReadSignature(const wchar_t* path, bool offline, SignatureReading& reading) {
  const SignatureEvidence evidence = VerifySignature(path, offline, reading.signer);
  reading.verdict = JudgeSignature(evidence, reading.code);
}

// A package built without a signing certificate has neither program
// signed; only one of the two unsigned means files of different origins.
void ReportSignature(CheckReport& report, const SignatureReading& reading, const SignatureReading& other,
                     bool offline) {
  const unsigned long code = static_cast<unsigned long>(reading.code);
  const bool named = reading.signer[0] != L'\0';
  switch (reading.verdict) {
    case SignatureVerdict::Verified:
      AddFinding(report, FindingStatus::Ok, Area, L"%ls is signed by \"%ls\" and the signature verifies", reading.name,
                 reading.signer);
      break;
    case SignatureVerdict::Unsigned:
      AddFinding(report, FindingStatus::Warn, Area,
                 other.verdict != SignatureVerdict::Unsigned
                     ? L"%ls is not signed, but %ls is: the two come from different builds; reinstall the package"
                     : L"%ls is not signed, nor is %ls: the package was built without a signing certificate; "
                       L"released packages are signed",
                 reading.name, other.name);
      break;
    case SignatureVerdict::RevocationUnknown:
      AddFinding(report, FindingStatus::Warn, Area,
                 offline ? L"%ls is signed by \"%ls\"; whether its certificate was revoked cannot be told offline "
                           L"(0x%08lX)"
                         : L"%ls is signed by \"%ls\"; whether its certificate was revoked cannot be told (0x%08lX): "
                           L"the certificate authority did not answer within %lu seconds or keeps no such list",
                 reading.name, reading.signer, code, RevocationWaitMs / 1000);
      break;
    case SignatureVerdict::Revoked:
      AddFinding(report, FindingStatus::Fail, Area,
                 L"%ls is signed by \"%ls\", but a certificate of its chain was revoked (0x%08lX): reinstall the "
                 L"package from a current release",
                 reading.name, reading.signer, code);
      break;
    case SignatureVerdict::Invalid:
      AddFinding(report, FindingStatus::Fail, Area,
                 L"%ls carries a signature that does not verify (0x%08lX%ls%ls%ls): the file was changed after "
                 L"signing or its certificate is not trusted here; reinstall the package",
                 reading.name, code, named ? L", signer \"" : L"", reading.signer, named ? L"\"" : L"");
      break;
    case SignatureVerdict::Unreadable:
      AddFinding(report, FindingStatus::Fail, Area,
                 L"%ls cannot be verified (0x%08lX): the file cannot be read or its signature is malformed; "
                 L"reinstall the package",
                 reading.name, code);
      break;
  }
}

// One value of a file's version resource, inside `block`, which the caller
// frees; null when the file has no such value. A fixed part ("\\") shorter
// than its structure counts as none.
const void* QueryFileVersion(const wchar_t* path, const wchar_t* query, void*& block) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  block = size ? std::malloc(size) : nullptr;
  void* value = nullptr;
  UINT length = 0;
  if (!block || !GetFileVersionInfoW(path, 0, size, block) || !VerQueryValueW(block, query, &value, &length))
    return nullptr;
  const bool fixedPart = query[0] == L'\\' && query[1] == L'\0';
  return fixedPart && length < sizeof(VS_FIXEDFILEINFO) ? nullptr : value;
}

}  // namespace

bool ReadFileVersionText(const wchar_t* path, wchar_t (&text)[FileVersionTextSize]) {
  text[0] = L'\0';
  void* block = nullptr;
  const void* value = QueryFileVersion(path, FileVersionQuery, block);
  if (value) _snwprintf(text, FileVersionTextSize - 1, L"%ls", static_cast<const wchar_t*>(value));
  text[FileVersionTextSize - 1] = L'\0';
  std::free(block);
  return value != nullptr;
}

bool ReadProgramVersion(const wchar_t* path, wchar_t (&text)[ProgramVersionSize]) {
  text[0] = L'\0';
  void* block = nullptr;
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(QueryFileVersion(path, L"\\", block));
  const bool found = fixed && fixed->dwSignature == VS_FFI_SIGNATURE;
  if (found) {
    _snwprintf(text, ProgramVersionSize - 1, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
               LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    text[ProgramVersionSize - 1] = L'\0';
  }
  std::free(block);
  return found;
}

void CheckProgram(CheckReport& report, bool offline) {
  GetClientVersionString(report.version);
  // Unless its own path fits, the check cannot verify itself.
  SignatureReading check = {L"tollbury-check.exe", SignatureVerdict::Unreadable, ERROR_INSUFFICIENT_BUFFER, L""};
  SignatureReading launcher = {L"tollbury.exe", SignatureVerdict::Unsigned, 0, L""};
  wchar_t checkPath[PathSize];
  wchar_t launcherPath[PathSize];
  wchar_t checkVersion[ProgramVersionSize] = L"";
  wchar_t launcherVersion[ProgramVersionSize] = L"";
  const DWORD length = GetModuleFileNameW(nullptr, checkPath, PathSize);
  if (length > 0 && length < static_cast<DWORD>(PathSize)) {
    wchar_t fileVersion[FileVersionTextSize];
    ReadProgramVersion(checkPath, checkVersion);
    ReadFileVersionText(checkPath, fileVersion);
    ReadSignature(checkPath, offline, check);
    AddFinding(report, FindingStatus::Ok, Area, L"%ls, version %ls, FileVersion \"%ls\"", checkPath, checkVersion,
               fileVersion);
  }
  CopyDigits(checkVersion, report.programVersion);
  if (!PathBesideProgram(launcher.name, launcherPath) || GetFileAttributesW(launcherPath) == INVALID_FILE_ATTRIBUTES) {
    AddFinding(report, FindingStatus::Fail, Area,
               L"tollbury.exe is not beside tollbury-check.exe; run the check from the launcher's folder, or "
               L"reinstall the package");
    ReportSignature(report, check, launcher, offline);
    return;
  }
  ReadSignature(launcherPath, offline, launcher);
  if (!ReadProgramVersion(launcherPath, launcherVersion))
    AddFinding(report, FindingStatus::Warn, Area,
               L"tollbury.exe beside it has no version number: it does not come from this package; install both from "
               L"one package");
  else if (checkVersion[0] != L'\0' && std::wcscmp(launcherVersion, checkVersion) == 0)
    AddFinding(report, FindingStatus::Ok, Area, L"tollbury.exe beside it has the same version");
  else
    AddFinding(report, FindingStatus::Warn, Area,
               L"tollbury.exe beside it is version %ls: the findings are those of the check's version %ls; install "
               L"both from one package",
               launcherVersion, checkVersion);
  ReportSignature(report, check, launcher, offline);
  // Neither signed is one finding, said once.
  if (launcher.verdict != SignatureVerdict::Unsigned || check.verdict != SignatureVerdict::Unsigned)
    ReportSignature(report, launcher, check, offline);
}
