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

// Scans the version directories matched by `searchPattern` (the client root
// followed by "*") and keeps the highest-ranked one that holds the client
// and whose name fits `newestName`. A listener hears of every directory.
void FindNewestClientVersion(const wchar_t* searchPattern, wchar_t (&newestName)[VersionNameSize],
                             VersionKey& newestKey, VersionListener listener = nullptr, void* context = nullptr);
