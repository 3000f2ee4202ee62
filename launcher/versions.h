#pragma once
#include "launcher/version_rank.h"
#include "sys/limits.h"

// One version directory as the scan judged it, for a caller that lists them.
struct VersionDirectory {
  const wchar_t* name;
  bool nameTooLong;  // never a version: it does not fit the newest version name
  VersionKey key;
  bool holdsClient;
};
using VersionListener = void (*)(const VersionDirectory& directory, void* context);

// The client's file name in every version directory.
inline constexpr wchar_t ClientExeName[] = L"rudavuvav.exe";

// Scans the version directories matched by `searchPattern` (the client root
// followed by "*") and keeps the highest-ranked one that holds the client
// and whose name fits `newestName`. A listener hears of every directory.
void FindNewestClientVersion(const wchar_t* searchPattern, wchar_t (&newestName)[VersionNameSize],
                             VersionKey& newestKey, VersionListener listener = nullptr, void* context = nullptr);

// Scans the version directories under the client root directory.
void ScanVersionDirectories(const wchar_t* clientRoot, wchar_t (&newestName)[VersionNameSize], VersionKey& newestKey,
                            VersionListener listener = nullptr, void* context = nullptr);

// Finds the client root directory and the newest version in it, as a start
// does; logs when the root cannot be found and leaves `clientRoot` empty.
void ScanInstalledVersions(wchar_t (&clientRoot)[PathSize], wchar_t (&newestName)[VersionNameSize],
                           VersionKey& newestKey);
