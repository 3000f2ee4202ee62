// The single-pass scanner under JsonWalk and JsonFind, shared by the JSON
// sources; not part of the interface that the rest of the program uses. The
// walk is a template over its token handler, so that a lookup that includes
// this header gets its matcher inlined into the scan.
#pragma once

#include <cstdint>
#include <cstring>

#include "json/json_find.h"
#include "json/json_internal.h"
#include "json/json_scan.h"

// The string stops among 64 bytes of text from base, kept across the tokens
// of one walk: most strings then end with a bit scan instead of fresh loads.
struct StopWindow {
  JsonStringStopsFn stops64 = JsonStringStopsOfKernelInUse();
  int base = -64;
  uint64_t stops = 0;
};

struct Nesting {
  unsigned char stack[JsonMaxDepth];  // opening bracket of each open container
  int depth;
};

// The length of the string body at body, up to its closing quote, or -1 (no
// closing quote within remaining, or a NUL byte first).
int ScanString(const char* body, int remaining, JsonStringStopsFn stops64);

// As ScanString for the string whose opening quote is text[quote], through
// the window, which it refills as the string goes on.
int ScanStringWindowed(const char* text, int length, int quote, StopWindow& window);

// Checks the content of the container whose opening bracket lies just before
// i, as Walk would without reporting anything, and returns the index of its
// closing bracket, or -1 / -2.
int SkipContainer(const char* text, int length, int i, Nesting& nest, StopWindow& window);

// Internal linkage, as in json/json_internal.h: each source that walks keeps
// its own copies.
namespace {

constexpr int TokenKey = static_cast<int>(JsonTokenKind::Key);
constexpr int TokenString = static_cast<int>(JsonTokenKind::String);
constexpr int TokenNumber = static_cast<int>(JsonTokenKind::Number);
constexpr int TokenTrue = static_cast<int>(JsonTokenKind::True);
constexpr int TokenFalse = static_cast<int>(JsonTokenKind::False);
constexpr int TokenNull = static_cast<int>(JsonTokenKind::Null);
constexpr int TokenArray = static_cast<int>(JsonTokenKind::Array);
constexpr int TokenObject = static_cast<int>(JsonTokenKind::Object);
constexpr int TokenArrayEnd = static_cast<int>(JsonTokenKind::ArrayEnd);
constexpr int TokenObjectEnd = static_cast<int>(JsonTokenKind::ObjectEnd);
constexpr int TokenComma = static_cast<int>(JsonTokenKind::Comma);
constexpr int TokenColon = static_cast<int>(JsonTokenKind::Colon);

inline bool IsWhitespace(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

inline int LowestSetBit(uint64_t mask) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctzll(mask);
#else
  static const unsigned char DeBruijn[64] = {0,  1,  48, 2,  57, 49, 28, 3,  61, 58, 50, 42, 38, 29, 17, 4,
                                             62, 55, 59, 36, 53, 51, 43, 22, 45, 39, 33, 30, 24, 18, 12, 5,
                                             63, 47, 56, 27, 60, 41, 37, 16, 54, 35, 52, 21, 44, 32, 23, 11,
                                             46, 26, 40, 15, 34, 20, 31, 10, 25, 14, 19, 9,  13, 8,  7,  6};
  return DeBruijn[((mask & (0 - mask)) * 0x03F79D71B4CB0A89ull) >> 58];
#endif
}

inline uint64_t Load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Length of the body of the string whose opening quote is text[quote], or -1;
// the same as ScanString.
inline int ScanStringAt(const char* text, int length, int quote, StopWindow& window) {
  const int body = quote + 1;
  const unsigned offset = static_cast<unsigned>(body) - static_cast<unsigned>(window.base);
  if (JSON_LIKELY(offset < 64u)) {
    const uint64_t ahead = window.stops >> offset;
    if (JSON_LIKELY(ahead != 0)) {
      const int p = body + LowestSetBit(ahead);
      if (JSON_LIKELY(text[p] == '"')) return p - body;
    }
  }
  return ScanStringWindowed(text, length, quote, window);
}

// What a token handler answers.
constexpr int GoOn = 0;
constexpr int Stop = 1;
// Only for an opening bracket: nothing inside the container needs reporting;
// it is checked without reports and its closing bracket reported next.
constexpr int SkipThisContainer = 2;

// Whether the literal word of n bytes lies within the text at start.
inline bool IsLiteral(const char* text, int length, int start, const char* word, int n) {
  return start + n - 1 < length && std::memcmp(text + start, word, static_cast<size_t>(n)) == 0;
}

// The length of the number at text[start], as JsonNumberEnd finds it. When
// its first eight bytes lie within the text they are tested as one word: the
// bytes below the first one that is no digit are all digits, so no carry of
// the addition reaches that byte.
inline int NumberLength(const char* text, int length, int start) {
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (length - start >= 8) {
    const char* p = text + start;
    const uint64_t x = Load8(p) ^ 0x3030303030303030ull;  // digits become 0 to 9
    const uint64_t notDigits = ((x + 0x7676767676767676ull) | x) & 0x8080808080808080ull;
    if (notDigits != 0) {
      p += LowestSetBit(notDigits) >> 3;
    } else {
      p += 8;
      while (IsDecimalDigit(static_cast<unsigned char>(*p))) ++p;
    }
    // Plain digits: anything but a fraction or an exponent ends the number.
    const unsigned char b = static_cast<unsigned char>(*p);
    if (p != text + start && b != '.' && b != 'e' && b != 'E') return static_cast<int>(p - (text + start));
  }
#endif
  return static_cast<int>(JsonNumberEnd(text + start) - (text + start));
}

// Moves i to the next byte that is not whitespace and loads it into c;
// false at the end of the text. The first test settles the common case of a
// token right at i.
inline bool NextToken(const char* text, int length, int& i, unsigned char& c) {
  if (i < length) {
    c = static_cast<unsigned char>(text[i]);
    if (JSON_LIKELY(c > ' ')) return true;
  }
  while (i < length && IsWhitespace(static_cast<unsigned char>(text[i]))) ++i;
  if (i >= length) return false;
  c = static_cast<unsigned char>(text[i]);
  return true;
}

// The scanner, over a handler with one member per token class: Open(kind,
// start), Close(kind, start), Key(start, n), Colon(start), Comma(start) and
// Scalar(kind, start, n), each answering GoOn or Stop (Open also
// SkipThisContainer). A template so that a lookup gets its matcher inlined.
template <class Handler>
int Walk(const char* text, int length, Handler& handler) {
  if (text == nullptr || length <= 0) return -1;
  Nesting nest;
  nest.depth = 0;
  StopWindow window;
  // The window over the first 64 bytes, filled before the walk holds
  // anything that the kernel's call would make it save and reload: on a
  // reply of some hundred bytes that is about 6 % of a lookup here.
  if (length >= 64) {
    window.base = 0;
    window.stops = window.stops64(text);
  }
  unsigned char top = 0;  // the innermost open container's bracket; 0 at top level
  int i = 0;
  int start;
  int n;
  int kind;
  int answer;
  unsigned char c;

expect_value:
  if (!NextToken(text, length, i, c)) return -1;
  start = i;
  // As in SkipContainer: plain branches in the order of how often each comes.
  if (c == '"') {
    n = ScanStringAt(text, length, start, window);
    if (n < 0) return n;
    kind = TokenString;
    n += 2;
    goto scalar;
  }
  if (IsDecimalDigit(c) || c == '-') {
    n = NumberLength(text, length, start);
    kind = TokenNumber;
    goto scalar;
  }
  if (c == '{' || c == '[') {
    if (nest.depth == JsonMaxDepth) return -2;
    nest.stack[nest.depth++] = c;
    top = c;
    answer = handler.Open(c, start);
    if (answer == SkipThisContainer) {
      i = SkipContainer(text, length, start + 1, nest, window);
      if (i < 0) return i;
      goto close;
    }
    if (answer != GoOn) return start + 1;
    i = start + 1;
    if (c == '{') goto expect_key;
    goto expect_value;
  }
  if (c == 't') {
    if (!IsLiteral(text, length, start, "true", 4)) return -1;
    kind = TokenTrue;
    n = 4;
    goto scalar;
  }
  if (c == 'f') {
    if (!IsLiteral(text, length, start, "false", 5)) return -1;
    kind = TokenFalse;
    n = 5;
    goto scalar;
  }
  if (c == 'n') {
    if (!IsLiteral(text, length, start, "null", 4)) return -1;
    kind = TokenNull;
    n = 4;
    goto scalar;
  }
  if (c == ']') {
    if (top != '[') return -1;
    goto close;
  }
  return -1;

scalar:
  // A top-level scalar is the whole text: the handler's answer changes nothing.
  if (nest.depth == 0) {
    handler.Scalar(kind, start, n);
    return start + n;
  }
  if (handler.Scalar(kind, start, n) != GoOn) return start + n;
  i = start + n;
  goto after_value;

expect_key:
  if (!NextToken(text, length, i, c)) return -1;
  start = i;
  if (c == '}') {
    if (top != '{') return -1;
    goto close;
  }
  if (c != '"') return -1;
  n = ScanStringAt(text, length, start, window);
  if (n < 0) return n;
  n += 2;
  if (handler.Key(start, n) != GoOn) return start + n;
  i = start + n;
  if (!NextToken(text, length, i, c) || c != ':') return -1;
  if (handler.Colon(i) != GoOn) return i + 1;
  ++i;
  goto expect_value;

after_value:
  if (!NextToken(text, length, i, c) || nest.depth == 0) return -1;
  start = i;
  if (c == ',') {
    if (handler.Comma(start) != GoOn) return start + 1;
    ++i;
    if (top == '{') goto expect_key;
    goto expect_value;
  }
  if ((c != ']' && c != '}') || c != top + 2) return -1;

close:
  // text[i] closes the innermost container.
  start = i;
  kind = text[i] == ']' ? TokenArrayEnd : TokenObjectEnd;
  --nest.depth;
  if (nest.depth == 0) {
    handler.Close(kind, start);
    return start + 1;
  }
  top = nest.stack[nest.depth - 1];
  if (handler.Close(kind, start) != GoOn) return start + 1;
  i = start + 1;
  goto after_value;
}

}  // namespace
