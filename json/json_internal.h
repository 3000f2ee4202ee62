// Helpers shared by the JSON sources (and their tests); not part of the
// interface that the rest of the program uses.
#pragma once

#include <cmath>
#include <cstdint>

// Marks a test on the text that almost always holds, so that GCC and Clang
// lay the common path out straight (MSVC takes no such hint).
#if defined(__GNUC__) || defined(__clang__)
#define JSON_LIKELY(x) __builtin_expect(!!(x), 1)
#else
#define JSON_LIKELY(x) (x)
#endif

// Internal linkage: a file compiled for a wider instruction set keeps its own
// copies, so the linker never hands its code to the rest.
namespace {

inline bool IsInfinite(double x) { return std::isinf(x); }

// Bit 7 of each byte of the result is set where x's byte equals the
// pattern's: the low seven bits plus 0x7F carry into bit 7 unless they are
// zero, and never into the next byte.
inline uint64_t BytesMatching(uint64_t x, uint64_t pattern) {
  const uint64_t t = x ^ pattern;
  return ~(((t & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | t) & 0x8080808080808080ull;
}

inline bool IsDecimalDigit(unsigned char b) { return static_cast<unsigned>(b - '0') < 10u; }

// Where JsonParseNumber(text, &end) puts end, without computing the value.
inline const char* JsonNumberEnd(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  if (*p == '-' || *p == '+') ++p;
  const unsigned char* digits = p;
  while (IsDecimalDigit(*p)) ++p;
  bool lastWasDigit = p != digits;
  if (!lastWasDigit && *p != '.') return text;
  if (*p == '.') {
    ++p;
    const unsigned char* fraction = p;
    while (IsDecimalDigit(*p)) ++p;
    lastWasDigit = p != fraction;
  }
  if (*p == 'e' || *p == 'E') {
    ++p;
    if (*p == '-') ++p;
    if (*p == '+') ++p;
    while (IsDecimalDigit(*p)) ++p;
    return reinterpret_cast<const char*>(p);
  }
  return lastWasDigit ? reinterpret_cast<const char*>(p) : text;
}

}  // namespace
