#pragma once
#include "sys/limits.h"

// Three components compared in order: major, minor, last.
struct VersionKey {
  double part[3];
};

// Ranks a directory name: "a" is a.0.0, "a.b" is a.0.b, "a.b.c..." is a.b.c.
VersionKey RankVersionName(const wchar_t* name);

// True when `candidate` ranks strictly above `newest`; NaN never wins.
bool IsNewerVersion(const VersionKey& candidate, const VersionKey& newest);

// Scans the version directories matched by `searchPattern` (the client root
// followed by "*") and keeps the highest-ranked one that holds the client
// and whose name fits `newestName`.
void FindNewestClientVersion(const wchar_t* searchPattern, wchar_t (&newestName)[VersionNameSize],
                             VersionKey& newestKey);
