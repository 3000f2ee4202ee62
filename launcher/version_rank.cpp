#include "launcher/version_rank.h"

#include <cstdlib>

#include "sys/limits.h"

namespace {

// Converts one piece (up to its '.' or the end) to a double. No number form
// holds a character beyond ASCII, so the piece is copied as narrow text up to
// the first such character and converted there.
double ConvertPiece(const WideChar* piece, int length) {
  char narrow[PathSize];
  int n = 0;
  while (n < length && n < PathSize - 1 && piece[n] > 0 && piece[n] < 0x80) {
    narrow[n] = static_cast<char>(piece[n]);
    ++n;
  }
  narrow[n] = '\0';
  return std::strtod(narrow, nullptr);
}

}  // namespace

VersionKey RankVersionName(const WideChar* name) {
  VersionKey key = {{0.0, 0.0, 0.0}};
  int nameLength = 0;
  while (nameLength < PathSize - 1 && name[nameLength] != 0) ++nameLength;
  // Each piece is converted on its own, so "1.2" inside "1.2.3" is never read
  // as one number.
  int pieces = 0;
  int start = 0;
  for (int i = 0; i <= nameLength; ++i) {
    if (i < nameLength && name[i] != '.') continue;
    if (pieces < 3) key.part[pieces] = ConvertPiece(name + start, i - start);
    ++pieces;
    start = i + 1;
  }
  if (pieces == 2) {
    key.part[2] = key.part[1];
    key.part[1] = 0.0;
  }
  return key;
}

bool IsNewerVersion(const VersionKey& candidate, const VersionKey& newest) {
  for (int i = 0; i < 3; ++i) {
    if (candidate.part[i] > newest.part[i]) return true;
    if (!(candidate.part[i] == newest.part[i])) return false;  // smaller, or unordered (NaN)
  }
  return false;
}
