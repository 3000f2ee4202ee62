#pragma once
#include "launcher/version_rank.h"
#include "sys/limits.h"

// Scans the version directories matched by `searchPattern` (the client root
// followed by "*") and keeps the highest-ranked one that holds the client
// and whose name fits `newestName`.
void FindNewestClientVersion(const wchar_t* searchPattern, wchar_t (&newestName)[VersionNameSize],
                             VersionKey& newestKey);
