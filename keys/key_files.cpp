#include "keys/key_files.h"

#include <windows.h>
#include <shlwapi.h>

#include <cwchar>
#include <cwctype>

#include "sys/client_root.h"
#include "sys/file_retry.h"
#include "sys/handle_guard.h"

namespace {

// Tries for a free temporary name before giving up.
constexpr int TemporaryNameAttempts = 64;
// GetTempFileNameW names staged files "ppk<hex>.tmp".
constexpr wchar_t TemporaryPrefix[] = L"ppk";
// Staging and moving take well under a second, even with every wait for a
// held file: an older staged file is no start's work in progress.
constexpr ULONGLONG LeftoverAgeSeconds = 5 * 60;

bool BuildKeyFilePath(const wchar_t* clientRoot, const wchar_t* sessionName, const wchar_t* suffix,
                      wchar_t (&path)[PathSize]) {
  path[0] = L'\0';
  return AppendToDirectory(path, clientRoot) && AppendToDirectory(path, sessionName) && AppendToDirectory(path, suffix);
}

// Appends a full-control entry for `sid` to the list.
bool Allow(PrivateFileSecurity& security, PSID sid) {
  return AddAccessAllowedAceEx(reinterpret_cast<PACL>(security.acl), ACL_REVISION, 0, FILE_ALL_ACCESS, sid) != 0;
}

bool AllowWellKnown(PrivateFileSecurity& security, WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(sid);
  return CreateWellKnownSid(type, nullptr, sid, &size) && Allow(security, sid);
}

DWORD AllowCurrentUser(PrivateFileSecurity& security) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return GetLastError();
  ScopedKernelHandle tokenGuard(token);
  DWORD user[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1];
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, user, sizeof(user), &size)) return GetLastError();
  return Allow(security, reinterpret_cast<TOKEN_USER*>(user)->User.Sid) ? 0 : GetLastError();
}

bool DirectoryOf(const wchar_t* path, wchar_t (&directory)[PathSize]) {
  const size_t length = std::wcslen(path);
  if (length >= static_cast<size_t>(PathSize)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  std::wmemcpy(directory, path, length + 1);
  PathRemoveFileSpecW(directory);
  return true;
}

// Creates a new, empty temporary file beside `path` ("ppkXXXX.tmp").
HANDLE CreateTemporaryFile(const wchar_t* path, SECURITY_ATTRIBUTES& attributes, wchar_t (&temporary)[PathSize]) {
  wchar_t directory[PathSize];
  if (!DirectoryOf(path, directory)) return INVALID_HANDLE_VALUE;

  UINT unique = (GetCurrentProcessId() + GetTickCount()) & 0xFFFF;
  for (int attempt = 0; attempt < TemporaryNameAttempts; ++attempt, unique = (unique + 1) & 0xFFFF) {
    if (unique == 0) unique = 1;  // 0 would make GetTempFileNameW create a file of its own
    if (GetTempFileNameW(directory, TemporaryPrefix, unique, temporary) == 0) return INVALID_HANDLE_VALUE;
    const HANDLE file =
        CreateFileW(temporary, GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

DWORD WriteAndFlush(HANDLE file, const void* bytes, DWORD count) {
  DWORD written = 0;
  if (!WriteFile(file, bytes, count, &written, nullptr)) return GetLastError();
  if (written != count) return ERROR_WRITE_FAULT;
  // The old key is about to be dropped: the new one must be on disk first.
  if (!FlushFileBuffers(file)) return GetLastError();
  return 0;
}

// "ppk", one to four hexadecimal digits, ".tmp": the pattern "ppk*.tmp"
// also matches other names, and short names.
bool IsStagedFileName(const wchar_t* name) {
  const size_t prefix = std::wcslen(TemporaryPrefix);
  if (_wcsnicmp(name, TemporaryPrefix, prefix) != 0) return false;
  size_t digits = 0;
  while (std::iswxdigit(name[prefix + digits])) ++digits;
  return digits >= 1 && digits <= 4 && _wcsicmp(name + prefix + digits, L".tmp") == 0;
}

ULONGLONG SecondsSince(const FILETIME& time) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG then = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  const ULONGLONG current = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return current > then ? (current - then) / 10000000 : 0;
}

bool IsLeftover(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsStagedFileName(entry.cFileName) &&
         SecondsSince(entry.ftLastWriteTime) > LeftoverAgeSeconds;
}

}  // namespace

bool BuildKeyFilePaths(const wchar_t* clientRoot, const wchar_t* sessionName, wchar_t (&keyPath)[PathSize],
                       wchar_t (&uploadKeyPath)[PathSize]) {
  const bool built = BuildKeyFilePath(clientRoot, sessionName, L"-key.ppk", keyPath) &&
                     BuildKeyFilePath(clientRoot, sessionName, L"-upload-key.ppk", uploadKeyPath);
  if (!built) {
    keyPath[0] = L'\0';
    uploadKeyPath[0] = L'\0';
  }
  return built;
}

// Without it, a new file takes the inherited access list of the common
// application data folder, which lets every local user read it.
unsigned long BuildPrivateFileSecurity(PrivateFileSecurity& security) {
  if (!InitializeAcl(reinterpret_cast<PACL>(security.acl), sizeof(security.acl), ACL_REVISION)) return GetLastError();
  const DWORD user = AllowCurrentUser(security);
  if (user != 0) return user;
  if (!AllowWellKnown(security, WinLocalSystemSid) || !AllowWellKnown(security, WinBuiltinAdministratorsSid)) {
    return GetLastError();
  }
  // Protected: nothing inheritable from the folder is merged in.
  if (!InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&security.descriptor, TRUE, reinterpret_cast<PACL>(security.acl), FALSE) ||
      !SetSecurityDescriptorControl(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return GetLastError();
  }
  return 0;
}

unsigned long StageFileContents(const wchar_t* path, const void* bytes, unsigned long count,
                                wchar_t (&temporary)[PathSize]) {
  temporary[0] = L'\0';
  PrivateFileSecurity security;
  const DWORD built = BuildPrivateFileSecurity(security);
  if (built != 0) return built;  // never write a key readable by others
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &security.descriptor, FALSE};

  DWORD result = 0;
  {
    ScopedKernelHandle file(CreateTemporaryFile(path, attributes, temporary));
    if (file.handle == INVALID_HANDLE_VALUE) {
      temporary[0] = L'\0';
      return GetLastError();
    }
    result = WriteAndFlush(file.handle, bytes, count);
  }
  if (result != 0) {
    DiscardStagedFile(temporary);
    temporary[0] = L'\0';
  }
  return result;
}

unsigned long CommitStagedFile(const wchar_t* temporary, const wchar_t* path) {
  int attempt = 0;
  for (;;) {
    if (MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    const DWORD error = GetLastError();
    // Held without delete sharing, the old file is reported as denied or in use.
    if (!WaitForFileHold(error, HoldErrors::SharingOrAccessDenied, attempt)) {
      DiscardStagedFile(temporary);
      return error;
    }
  }
}

void DiscardStagedFile(const wchar_t* temporary) {
  // A scanner may be looking at the new file just now.
  int attempt = 0;
  while (!DeleteFileW(temporary) && WaitForFileHold(GetLastError(), HoldErrors::SharingOrAccessDenied, attempt)) {
  }
}

int RemoveLeftoverStagedFiles(const wchar_t* path) {
  wchar_t directory[PathSize];
  wchar_t pattern[PathSize];
  if (!DirectoryOf(path, directory) || !AppendToDirectory(directory, L"\\")) return 0;
  std::wmemcpy(pattern, directory, PathSize);
  if (!AppendToDirectory(pattern, TemporaryPrefix) || !AppendToDirectory(pattern, L"*.tmp")) return 0;
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW(pattern, &entry);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int removed = 0;
  do {
    wchar_t leftover[PathSize];
    std::wmemcpy(leftover, directory, PathSize);
    // Another user's private leftover cannot be deleted; it is left alone.
    if (IsLeftover(entry) && AppendToDirectory(leftover, entry.cFileName) && DeleteFileW(leftover)) ++removed;
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return removed;
}

unsigned long ReplaceFileContents(const wchar_t* path, const void* bytes, unsigned long count) {
  wchar_t temporary[PathSize];
  const unsigned long staged = StageFileContents(path, bytes, count, temporary);
  return staged != 0 ? staged : CommitStagedFile(temporary, path);
}
