#include "launcher/versions.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "sys/client_root.h"
#include "sys/debug_log.h"

namespace {

// A directory without the client is a half-installed update: never start it.
bool HoldsClient(const wchar_t* searchPattern, const wchar_t* name) {
  wchar_t path[PathSize];
  const int patternLength = static_cast<int>(std::wcslen(searchPattern)) - 1;  // without the "*"
  const int written = _snwprintf(path, PathSize, L"%.*ls%ls\\%ls", patternLength, searchPattern, name, ClientExeName);
  if (written < 0 || written >= PathSize) return false;
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsCandidate(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && entry.cFileName[0] != L'.';
}

void Tell(VersionListener listener, void* context, const wchar_t* searchPattern, const wchar_t* name, bool nameTooLong,
          const VersionKey& key) {
  if (listener == nullptr) return;
  const VersionDirectory directory = {name, nameTooLong, key, HoldsClient(searchPattern, name)};
  listener(directory, context);
}

void ConsiderEntry(const wchar_t* searchPattern, const wchar_t* name, wchar_t (&newestName)[VersionNameSize],
                   VersionKey& newestKey, VersionListener listener, void* context) {
  LogLine3(L"[tollbury] Discovered directory: ", name, L"\n");
  if (std::wcslen(name) >= static_cast<size_t>(VersionNameSize)) {
    Tell(listener, context, searchPattern, name, true, VersionKey{{0.0, 0.0, 0.0}});
    LogLine3(L"[tollbury] Directory name is too long for a version, skipped: ", name, L"\n");
    return;
  }
  const VersionKey key = RankVersionName(name);
  Tell(listener, context, searchPattern, name, false, key);
  if (!IsNewerVersion(key, newestKey)) return;
  if (!HoldsClient(searchPattern, name)) {
    LogLine3(L"[tollbury] Directory holds no rudavuvav.exe, skipped: ", name, L"\n");
    return;
  }
  wmemset(newestName, L'\0', VersionNameSize);
  std::wcsncpy(newestName, name, VersionNameSize - 1);
  newestKey = key;
}

}  // namespace

void FindNewestClientVersion(const wchar_t* searchPattern, wchar_t (&newestName)[VersionNameSize],
                             VersionKey& newestKey, VersionListener listener, void* context) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(searchPattern, &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (IsCandidate(entry)) ConsiderEntry(searchPattern, entry.cFileName, newestName, newestKey, listener, context);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

void ScanVersionDirectories(const wchar_t* clientRoot, wchar_t (&newestName)[VersionNameSize], VersionKey& newestKey,
                            VersionListener listener, void* context) {
  wchar_t searchPattern[PathSize];
  std::wmemcpy(searchPattern, clientRoot, PathSize);
  if (AppendToDirectory(searchPattern, L"*")) {
    FindNewestClientVersion(searchPattern, newestName, newestKey, listener, context);
  }
}

void ScanInstalledVersions(wchar_t (&clientRoot)[PathSize], wchar_t (&newestName)[VersionNameSize],
                           VersionKey& newestKey) {
  if (!GetClientRootDirectory(clientRoot)) {
    LogText(L"[tollbury] Cannot locate the client directory under the common application data folder.\n");
    return;
  }
  ScanVersionDirectories(clientRoot, newestName, newestKey);
}
