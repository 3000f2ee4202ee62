// RankVersionName and IsNewerVersion on arbitrary names, checked against a
// plain model: cut the name at every '.', convert each of the first three
// pieces with the C library's wcstod in the "C" locale, place a.b as a.0.b;
// a candidate is newer when at the first component that differs it is
// greater. Input: names as read by ReadWideTexts, at most nine.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/wide_input.h"
#include "launcher/version_rank.h"
#include "sys/limits.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

double ModelPiece(const WideText& piece) {
  std::wstring wide(piece.begin(), piece.end());  // wchar_t holds every code unit here
  return std::wcstod(wide.c_str(), nullptr);
}

VersionKey ModelRank(const WideText& name) {
  const WideText read = name.substr(0, PathSize - 1);
  std::vector<WideText> pieces(1);
  for (WideChar c : read) {
    if (c == '.') {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(c);
    }
  }
  VersionKey key = {{0.0, 0.0, 0.0}};
  for (size_t k = 0; k < pieces.size() && k < 3; ++k) key.part[k] = ModelPiece(pieces[k]);
  if (pieces.size() == 2) key = VersionKey{{key.part[0], 0.0, key.part[1]}};
  return key;
}

bool SameDouble(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

bool HasNan(const VersionKey& k) { return std::isnan(k.part[0]) || std::isnan(k.part[1]) || std::isnan(k.part[2]); }

// Newer: some component is greater and every one before it is equal.
bool ModelNewer(const VersionKey& a, const VersionKey& b) {
  for (int i = 0; i < 3; ++i) {
    bool earlierEqual = true;
    for (int j = 0; j < i; ++j) earlierEqual = earlierEqual && a.part[j] == b.part[j];
    if (earlierEqual && a.part[i] > b.part[i]) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::vector<VersionKey> keys = {{{0.0, 0.0, 0.0}}};  // the starting "1.0.0"
  for (const WideText& name : ReadWideTexts(data, size, 9)) {
    // An exact-size copy with its terminator, so that a read past it is caught.
    std::unique_ptr<WideChar[]> copy(new WideChar[name.size() + 1]);
    std::memcpy(copy.get(), name.data(), name.size() * sizeof(WideChar));
    copy[name.size()] = 0;
    const VersionKey key = RankVersionName(copy.get());
    const VersionKey expected = ModelRank(name);
    for (int i = 0; i < 3; ++i) Require(SameDouble(key.part[i], expected.part[i]));
    keys.push_back(key);
  }

  for (const VersionKey& a : keys) {
    Require(!IsNewerVersion(a, a));
    if (std::isnan(a.part[0])) Require(!IsNewerVersion(a, keys[0]));
    for (const VersionKey& b : keys) {
      Require(IsNewerVersion(a, b) == ModelNewer(a, b));
      if (HasNan(a) || HasNan(b)) continue;
      // A strict weak order: irreflexive, asymmetric, transitive, and
      // "neither is newer" is transitive too.
      Require(!(IsNewerVersion(a, b) && IsNewerVersion(b, a)));
      for (const VersionKey& c : keys) {
        if (HasNan(c)) continue;
        if (IsNewerVersion(a, b) && IsNewerVersion(b, c)) Require(IsNewerVersion(a, c));
        const bool ab = !IsNewerVersion(a, b) && !IsNewerVersion(b, a);
        const bool bc = !IsNewerVersion(b, c) && !IsNewerVersion(c, b);
        if (ab && bc) Require(!IsNewerVersion(a, c) && !IsNewerVersion(c, a));
      }
    }
  }

  // The scan keeps the first of the highest: nothing without NaN is newer.
  VersionKey newest = keys[0];
  for (const VersionKey& k : keys) {
    if (IsNewerVersion(k, newest)) newest = k;
  }
  if (!HasNan(newest)) {
    for (const VersionKey& k : keys) Require(HasNan(k) || !IsNewerVersion(k, newest));
  }
  return 0;
}
