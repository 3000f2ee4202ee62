#pragma once
// Ranking of version directory names; needs no Windows header.
#include "sys/wide_char.h"

// Three components compared in order: major, minor, last.
struct VersionKey {
  double part[3];
};

// Ranks a directory name: "a" is a.0.0, "a.b" is a.0.b, "a.b.c..." is a.b.c.
// Each piece converts like wcstod in the "C" locale (white space, sign,
// decimal or hexadecimal digits, exponent, inf, nan); a piece with no number
// at its start is 0. Only the first PathSize - 1 characters are read.
VersionKey RankVersionName(const WideChar* name);

// True when `candidate` ranks strictly above `newest`; NaN never wins.
bool IsNewerVersion(const VersionKey& candidate, const VersionKey& newest);
