// Helpers shared by the JSON sources (and their tests); not part of the
// interface that the rest of the program uses.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

inline bool IsInfinite(double x) { return std::isinf(x); }

inline int JsonLowestSetBit(uint64_t mask) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctzll(mask);
#else
  static const unsigned char kDeBruijn[64] = {
      0,  1,  48, 2,  57, 49, 28, 3,  61, 58, 50, 42, 38, 29, 17, 4,  62, 55, 59, 36, 53, 51,
      43, 22, 45, 39, 33, 30, 24, 18, 12, 5,  63, 47, 56, 27, 60, 41, 37, 16, 54, 35, 52, 21,
      44, 32, 23, 11, 46, 26, 40, 15, 34, 20, 31, 10, 25, 14, 19, 9,  13, 8,  7,  6};
  return kDeBruijn[((mask & (0 - mask)) * 0x03F79D71B4CB0A89ull) >> 58];
#endif
}

inline bool IsDecimalDigit(unsigned char b) { return static_cast<unsigned>(b - '0') < 10u; }

inline uint64_t JsonLoad8(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The end of the run of decimal digits at p. While eight bytes lie before
// bound they are tested at once (a digit byte is '0' + 0..9, so its xor with
// '0' is below 10); the rest goes byte by byte, up to the first non-digit.
inline const unsigned char* JsonDigitsEnd(const unsigned char* p, const unsigned char* bound) {
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  while (bound - p >= 8) {
    const uint64_t x = JsonLoad8(p) ^ 0x3030303030303030ull;
    const uint64_t notDigit = (((x & 0x7F7F7F7F7F7F7F7Full) + 0x7676767676767676ull) | x) & 0x8080808080808080ull;
    if (notDigit != 0) return p + JsonLowestSetBit(notDigit) / 8;
    p += 8;
  }
#else
  (void)bound;
#endif
  while (IsDecimalDigit(*p)) ++p;
  return p;
}

// Where JsonParseNumber(text, &end) puts end, without computing the value.
// The bytes from text up to bound may be read at once; the number itself may
// run past bound, up to the first byte that cannot continue it.
inline const char* JsonNumberEnd(const char* text, const char* bound) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* const end = reinterpret_cast<const unsigned char*>(bound);
  if (*p == '-' || *p == '+') ++p;
  const unsigned char* digits = p;
  p = JsonDigitsEnd(p, end);
  bool lastWasDigit = p != digits;
  if (!lastWasDigit && *p != '.') return text;
  if (*p == '.') {
    ++p;
    const unsigned char* fraction = p;
    p = JsonDigitsEnd(p, end);
    lastWasDigit = p != fraction;
  }
  if (*p == 'e' || *p == 'E') {
    ++p;
    if (*p == '-') ++p;
    if (*p == '+') ++p;
    return reinterpret_cast<const char*>(JsonDigitsEnd(p, end));
  }
  return lastWasDigit ? reinterpret_cast<const char*>(p) : text;
}
