#include "json/json_find.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "json/json_decode.h"
#include "json/json_internal.h"
#include "json/json_scan.h"

namespace {

constexpr int kKey = static_cast<int>(JsonTokenKind::Key);
constexpr int kString = static_cast<int>(JsonTokenKind::String);
constexpr int kNumber = static_cast<int>(JsonTokenKind::Number);
constexpr int kTrue = static_cast<int>(JsonTokenKind::True);
constexpr int kFalse = static_cast<int>(JsonTokenKind::False);
constexpr int kNull = static_cast<int>(JsonTokenKind::Null);
constexpr int kArray = static_cast<int>(JsonTokenKind::Array);
constexpr int kObject = static_cast<int>(JsonTokenKind::Object);
constexpr int kArrayEnd = static_cast<int>(JsonTokenKind::ArrayEnd);
constexpr int kObjectEnd = static_cast<int>(JsonTokenKind::ObjectEnd);
constexpr int kComma = static_cast<int>(JsonTokenKind::Comma);
constexpr int kColon = static_cast<int>(JsonTokenKind::Colon);

inline bool IsWhitespace(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The bytes whose escape moves the end of a string: after a backslash they
// are stepped over, so an escaped quote does not close the string.
inline bool SkippedAfterBackslash(unsigned char b) {
  return b == 0x08 || b == 0x0C || b == 0x0A || b == 0x0D || b == 0x09 || b == '\\' || b == '"';
}

// ---------------------------------------------------------------------------
// Strings

inline int LowestSetBit(uint64_t mask) {
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

inline uint64_t Load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

int ScanString(const char* body, int remaining, JsonStringStopsFn stops64) {
  int k = 0;
  for (;;) {
    // 64 bytes at a time while they lie within the text.
    while (k + 64 <= remaining) {
      const uint64_t stops = stops64(body + k);
      if (stops != 0) {
        k += LowestSetBit(stops);
        break;
      }
      k += 64;
    }
    if (k >= remaining) return -1;
    const unsigned char b = static_cast<unsigned char>(body[k]);
    if (IsStringStop(b)) {
      if (b == '"') return k;
      if (b == '\\') {
        if (k + 1 < remaining && SkippedAfterBackslash(static_cast<unsigned char>(body[k + 1]))) ++k;
      } else {
        return -1;  // NUL
      }
    }
    ++k;
  }
}

// The string stops among 64 bytes of text from base, kept across the tokens
// of one walk: most strings then end with a bit scan instead of fresh loads.
struct StopWindow {
  JsonStringStopsFn stops64 = JsonStringStopsOfKernelInUse();
  int base = -64;
  uint64_t stops = 0;
};

int ScanStringWindowed(const char* text, int length, int quote, StopWindow& window) {
  const int body = quote + 1;
  int p = body;
  // The window in locals, stored back once: a refill then waits on no store.
  int base = window.base;
  uint64_t stops = window.stops;
  for (;;) {
    unsigned offset = static_cast<unsigned>(p) - static_cast<unsigned>(base);
    if (offset >= 64u) {
      if (p >= length) break;
      if (length - p >= 64) {
        base = p;
      } else if (length >= 64) {
        base = length - 64;  // the last 64 bytes of the text
      } else {
        break;
      }
      stops = window.stops64(text + base);
      offset = static_cast<unsigned>(p - base);
    }
    const uint64_t ahead = stops >> offset;
    if (ahead != 0) {
      p += LowestSetBit(ahead);
      if (text[p] == '"') {
        window.base = base;
        window.stops = stops;
        return p - body;
      }
      break;
    }
    p = base + 64;
    // A whole window of the string without a stop: a long string, whose rest
    // the plain scan's tighter loop takes on.
    if (offset == 0) break;
  }
  window.base = base;
  window.stops = stops;
  if (p >= length) return -1;
  // The bytes from body to p are plain: the scan goes on from p as from a
  // start.
  const int rest = ScanString(text + p, length - p, window.stops64);
  return rest < 0 ? rest : rest + (p - body);
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

// ---------------------------------------------------------------------------
// The scanner

// What a token handler answers.
constexpr int kGoOn = 0;
constexpr int kStop = 1;
// Only for an opening bracket: nothing inside the container needs reporting;
// it is checked without reports and its closing bracket reported next.
constexpr int kSkipContainer = 2;

struct Nesting {
  unsigned char stack[JsonMaxDepth];  // opening bracket of each open container
  int depth;
};

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

// Checks the content of the container whose opening bracket lies just before
// i, exactly as Walk would without reporting anything, and returns the index
// of its closing bracket, or -1 / -2.
int CheckContainerTokenByToken(const char* text, int length, int i, Nesting& nest, StopWindow& window) {
  const int base = nest.depth;
  int n;
  unsigned char c;
  unsigned char top = nest.stack[base - 1];  // the innermost open container
  if (top == '{') goto expect_key;

expect_value:
  if (!NextToken(text, length, i, c)) return -1;
  // Tested in the order of how often each comes, as plain branches: the
  // processor learns their pattern far better than a jump table's.
  if (c == '"') {
    n = ScanStringAt(text, length, i, window);
    if (n < 0) return n;
    i += n + 2;
    goto after_value;
  }
  if (IsDecimalDigit(c) || c == '-') {
    i = static_cast<int>(JsonNumberEnd(text + i) - text);
    goto after_value;
  }
  if (c == '{' || c == '[') {
    if (nest.depth == JsonMaxDepth) return -2;
    nest.stack[nest.depth++] = c;
    top = c;
    ++i;
    if (c == '{') goto expect_key;
    goto expect_value;
  }
  if (c == 't') {
    if (!IsLiteral(text, length, i, "true", 4)) return -1;
    i += 4;
    goto after_value;
  }
  if (c == 'f') {
    if (!IsLiteral(text, length, i, "false", 5)) return -1;
    i += 5;
    goto after_value;
  }
  if (c == 'n') {
    if (!IsLiteral(text, length, i, "null", 4)) return -1;
    i += 4;
    goto after_value;
  }
  if (c == ']') {
    if (top != '[') return -1;
    goto close;
  }
  return -1;

expect_key:
  if (!NextToken(text, length, i, c)) return -1;
  if (c == '}') goto close;
  if (c != '"') return -1;
  n = ScanStringAt(text, length, i, window);
  if (n < 0) return n;
  i += n + 2;
  if (!NextToken(text, length, i, c) || c != ':') return -1;
  ++i;
  goto expect_value;

after_value:
  if (!NextToken(text, length, i, c)) return -1;
  if (c == ',') {
    ++i;
    if (top == '{') goto expect_key;
    goto expect_value;
  }
  if ((c != ']' && c != '}') || c != top + 2) return -1;

close:
  if (nest.depth == base) return i;
  --nest.depth;
  top = nest.stack[nest.depth - 1];
  ++i;
  goto after_value;
}

// As CheckContainerTokenByToken, with the kernel's own container check first
// where it has one: that check vouches only for sound content, so a fault
// is always found, and told apart, token by token.
int SkipContainer(const char* text, int length, int i, Nesting& nest, StopWindow& window) {
  const JsonCheckContainerFn check = JsonCheckContainerOfKernelInUse();
  if (check != nullptr) {
    const int end = check(text, length, i, nest.stack[nest.depth - 1] == '{', JsonMaxDepth - nest.depth);
    if (end >= 0) return end;
  }
  return CheckContainerTokenByToken(text, length, i, nest, window);
}

// The scanner, over a handler with one member per token class: Open(kind,
// start), Close(kind, start), Key(start, n), Colon(start), Comma(start) and
// Scalar(kind, start, n), each answering kGoOn or kStop (Open also
// kSkipContainer). A template so that a lookup gets its matcher inlined.
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
    kind = kString;
    n += 2;
    goto scalar;
  }
  if (IsDecimalDigit(c) || c == '-') {
    n = NumberLength(text, length, start);
    kind = kNumber;
    goto scalar;
  }
  if (c == '{' || c == '[') {
    if (nest.depth == JsonMaxDepth) return -2;
    nest.stack[nest.depth++] = c;
    top = c;
    answer = handler.Open(c, start);
    if (answer == kSkipContainer) {
      i = SkipContainer(text, length, start + 1, nest, window);
      if (i < 0) return i;
      goto close;
    }
    if (answer != kGoOn) return start + 1;
    i = start + 1;
    if (c == '{') goto expect_key;
    goto expect_value;
  }
  if (c == 't') {
    if (!IsLiteral(text, length, start, "true", 4)) return -1;
    kind = kTrue;
    n = 4;
    goto scalar;
  }
  if (c == 'f') {
    if (!IsLiteral(text, length, start, "false", 5)) return -1;
    kind = kFalse;
    n = 5;
    goto scalar;
  }
  if (c == 'n') {
    if (!IsLiteral(text, length, start, "null", 4)) return -1;
    kind = kNull;
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
  if (handler.Scalar(kind, start, n) != kGoOn) return start + n;
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
  if (handler.Key(start, n) != kGoOn) return start + n;
  i = start + n;
  if (!NextToken(text, length, i, c) || c != ':') return -1;
  if (handler.Colon(i) != kGoOn) return i + 1;
  ++i;
  goto expect_value;

after_value:
  if (!NextToken(text, length, i, c) || nest.depth == 0) return -1;
  start = i;
  if (c == ',') {
    if (handler.Comma(start) != kGoOn) return start + 1;
    ++i;
    if (top == '{') goto expect_key;
    goto expect_value;
  }
  if ((c != ']' && c != '}') || c != top + 2) return -1;

close:
  // text[i] closes the innermost container.
  start = i;
  kind = text[i] == ']' ? kArrayEnd : kObjectEnd;
  --nest.depth;
  if (nest.depth == 0) {
    handler.Close(kind, start);
    return start + 1;
  }
  top = nest.stack[nest.depth - 1];
  if (handler.Close(kind, start) != kGoOn) return start + 1;
  i = start + 1;
  goto after_value;
}

// Passes every token to a JsonTokenFn.
struct TokenFnHandler {
  JsonTokenFn onToken;
  void* context;
  const char* text;
  int Report(int kind, int start, int n) { return onToken(kind, text, start, n, context) != 0 ? kStop : kGoOn; }
  int Open(int kind, int start) { return Report(kind, start, 1); }
  int Close(int kind, int start) { return Report(kind, start, 1); }
  int Key(int start, int n) { return Report(kKey, start, n); }
  int Colon(int start) { return Report(kColon, start, 1); }
  int Comma(int start) { return Report(kComma, start, 1); }
  int Scalar(int kind, int start, int n) { return Report(kind, start, n); }
};

// Only checks the text.
struct CheckHandler {
  int Open(int, int) { return kGoOn; }
  int Close(int, int) { return kGoOn; }
  int Key(int, int) { return kGoOn; }
  int Colon(int) { return kGoOn; }
  int Comma(int) { return kGoOn; }
  int Scalar(int, int, int) { return kGoOn; }
};

// ---------------------------------------------------------------------------
// The path matcher

// Index of an index step: the number after "[" truncated toward zero,
// saturated to the int range (a negative index never matches, and no array
// in an int-sized text reaches INT_MAX elements).
int ReadIndex(const char* digits) {
  const double v = JsonParseNumber(digits, nullptr);
  if (!(v > -2147483649.0)) return INT_MIN;
  if (v >= 2147483648.0) return INT_MAX;
  return static_cast<int>(v);
}

// Where the index step at pos ("[...]", or up to the end) ends.
int IndexStepEnd(const char* path, int pos) {
  while (path[pos] != ']' && path[pos] != '\0') ++pos;
  return path[pos] == ']' ? pos + 1 : pos;
}

// The name of the key step at pathPos in a path with a backslash, read once
// per step: a lookup compares it with many keys.
struct KeyStepName {
  int pathPos = -1;
  int length = 0;        // bytes of the name, an escape pair counting one
  int pathBytes = 0;     // bytes it takes in the path
  bool escaped = false;  // holds a backslash
};

// Bytes that end a key step's name or need a closer look in it.
struct NameStops {
  bool stop[256];
  constexpr NameStops() : stop() {
    stop[0] = true;
    stop[static_cast<unsigned char>('.')] = true;
    stop[static_cast<unsigned char>('[')] = true;
    stop[static_cast<unsigned char>('\\')] = true;
  }
};
constexpr NameStops kNameStops;

// What a lookup learns of its path once: its length, and whether it holds
// a backslash (only then does a name need reading before a key is compared).
struct PathFacts {
  int length;
  bool escaped;
};

// For a matcher that sees one token at a time: reading the step's name for a
// key costs less than learning the whole path's facts on every token.
constexpr PathFacts kReadEachName = {0, true};

PathFacts ReadPathFacts(const char* path) {
  const size_t length = std::strlen(path);
  return {static_cast<int>(length), std::memchr(path, '\\', length) != nullptr};
}

// Takes the path by value, not the matcher's state: the state then never
// leaves the lookup's registers.
KeyStepName ReadKeyStepName(const char* path, int pathPos) {
  KeyStepName name;
  name.pathPos = pathPos;
  const char* const first = path + pathPos + 1;
  const char* p = first;
  int pairs = 0;
  for (;;) {
    while (!kNameStops.stop[static_cast<unsigned char>(*p)]) ++p;
    if (*p != '\\') break;
    // A backslash takes the next byte into the name; one that ends the path
    // stands for itself.
    name.escaped = true;
    if (p[1] != '\0') {
      ++pairs;
      p += 2;
    } else {
      p += 1;
    }
  }
  name.pathBytes = static_cast<int>(p - first);
  name.length = name.pathBytes - pairs;
  return name;
}

inline uint32_t Load4(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// memcmp(a, b, n) == 0 for the short runs that names are, without a call:
// two overlapping loads cover 4 to 16 bytes.
inline bool BytesEqual(const char* a, const char* b, int n) {
  if (n >= 8 && n <= 16) return Load8(a) == Load8(b) && Load8(a + n - 8) == Load8(b + n - 8);
  if (n >= 4 && n < 8) return Load4(a) == Load4(b) && Load4(a + n - 4) == Load4(b + n - 4);
  if (n < 4) {
    for (int j = 0; j < n; ++j) {
      if (a[j] != b[j]) return false;
    }
    return true;
  }
  return std::memcmp(a, b, static_cast<size_t>(n)) == 0;
}

// Whether the n bytes at p hold a byte that ends a step's name ('.' or
// '['), read as two overlapping words for the 4 to 16 bytes of most names.
inline bool HoldsStepEnd(const char* p, int n) {
  uint64_t first;
  uint64_t last;
  if (n >= 8 && n <= 16) {
    first = Load8(p);
    last = Load8(p + n - 8);
  } else if (n >= 4 && n < 8) {
    first = Load4(p);  // the upper bytes are 0, which match neither
    last = Load4(p + n - 4);
  } else {
    for (int j = 0; j < n; ++j) {
      if (p[j] == '.' || p[j] == '[') return true;
    }
    return false;
  }
  const uint64_t dots = 0x2E2E2E2E2E2E2E2Eull;
  const uint64_t brackets = 0x5B5B5B5B5B5B5B5Bull;
  return (BytesMatching(first, dots) | BytesMatching(first, brackets) | BytesMatching(last, dots) |
          BytesMatching(last, brackets)) != 0;
}

// Whether the key token (quotes included) equals the name of the key step
// that starts at path[name.pathPos].
inline bool KeyMatches(const char* path, KeyStepName name, const char* text, int start, int n) {
  if (n < 2 || n - 2 != name.length || text[start] != '"' || text[start + n - 1] != '"') return false;
  const char* key = text + start + 1;
  const char* p = path + name.pathPos + 1;
  if (!name.escaped) return BytesEqual(key, p, name.length);
  for (int j = 0; j < name.length; ++j, ++p) {
    if (*p == '\\' && p[1] != '\0') ++p;
    if (key[j] != *p) return false;
  }
  return true;
}

// Follows the path token by token. With kMaySkip (driven by JsonFind's own
// walk) the containers that cannot hold the value are skipped by the walk
// instead of being counted through, and no token comes after the value is
// found, since the walk ends there. It works on its own copy of the state,
// which the compiler keeps in registers through a whole walk; nothing it
// calls takes the state by reference.
template <bool kMaySkip>
struct Matcher {
  JsonFindState s;
  const char* text;
  PathFacts pathFacts;
  KeyStepName name;

  bool AlreadyFound() const { return !kMaySkip && s.foundKind != 0; }

  int Found(int kind, int start, int n) {
    s.foundKind = kind;
    if (s.outStart) *s.outStart = text + start;
    if (s.outLength) *s.outLength = n;
    return kStop;
  }

  // Enters the next path step when the element selected by an index step
  // begins.
  void MatchIndexStep() {
    if (s.arrayIndex == s.wantedIndex) {
      s.pathPos = IndexStepEnd(s.path, s.pathPos);
      ++s.matchedDepth;
    }
  }

  int Open(int kind, int start) {
    if (AlreadyFound()) return kStop;
    if (s.depth > s.matchedDepth) {
      ++s.depth;
      return kMaySkip ? kSkipContainer : kGoOn;
    }
    if (s.depth < s.matchedDepth) {
      s.containerStart = -1;
    } else {
      s.containerStart = start;
      if (kind == kArray && s.path[s.pathPos] == '[') {
        s.arrayIndex = 0;
        s.wantedIndex = ReadIndex(s.path + s.pathPos + 1);
        MatchIndexStep();
      }
    }
    ++s.depth;
    return kGoOn;
  }

  int Close(int kind, int start) {
    if (AlreadyFound()) return kStop;
    if (kind == kArrayEnd && s.depth == s.matchedDepth) s.arrayIndex = 0;
    --s.depth;
    // The container that just closed is the value.
    if (s.path[s.pathPos] == '\0' && s.depth == s.matchedDepth && s.containerStart != -1)
      return Found(kind - 2, s.containerStart, start - s.containerStart + 1);
    return kGoOn;
  }

  int Comma(int) {
    if (AlreadyFound()) return kStop;
    // The element selected by the last index step ended without the rest of
    // the path.
    if (s.depth == s.matchedDepth && s.pathPos > 0 && s.path[s.pathPos - 1] == ']') return kStop;
    if (s.depth == s.matchedDepth + 1 && s.path[s.pathPos] == '[') {
      ++s.arrayIndex;
      MatchIndexStep();
    }
    return kGoOn;
  }

  int Key(int start, int n) {
    if (AlreadyFound()) return kStop;
    if (s.depth == s.matchedDepth + 1 && s.path[s.pathPos] == '.') {
      const int nameBytes = MatchedNameBytes(start, n);
      if (nameBytes >= 0) {
        ++s.matchedDepth;
        s.pathPos += 1 + nameBytes;
        return kGoOn;
      }
    }
    // A further member of the object whose member matched the last key step:
    // that member ended without the rest of the path.
    return s.depth == s.matchedDepth ? kStop : kGoOn;
  }

  int Colon(int) { return AlreadyFound() ? kStop : kGoOn; }

  // The bytes that the name of the key step at pathPos takes in the path
  // when the key token (quotes included) equals it, otherwise -1. In a path
  // without a backslash the name is the key's bytes when the path has them
  // followed by the end of the step, and holds no '.' or '[': no name needs
  // reading first.
  int MatchedNameBytes(int start, int n) {
    if (pathFacts.escaped) {
      if (name.pathPos != s.pathPos) name = ReadKeyStepName(s.path, s.pathPos);
      return n - 2 == name.length && KeyMatches(s.path, name, text, start, n) ? name.pathBytes : -1;
    }
    const int keyBytes = n - 2;
    const int after = s.pathPos + 1 + keyBytes;
    if (keyBytes < 0 || after > pathFacts.length) return -1;
    // The path holds no backslash, so only the ends of a step stop here.
    if (!kNameStops.stop[static_cast<unsigned char>(s.path[after])]) return -1;
    const char* const stepName = s.path + s.pathPos + 1;
    if (text[start] != '"' || text[start + n - 1] != '"' || !BytesEqual(text + start + 1, stepName, keyBytes))
      return -1;
    return HoldsStepEnd(stepName, keyBytes) ? -1 : keyBytes;
  }

  int Scalar(int kind, int start, int n) {
    if (AlreadyFound()) return kStop;
    if (kind >= 11 && kind <= 19 && s.depth == s.matchedDepth && s.arrayIndex == s.wantedIndex &&
        s.path[s.pathPos] == '\0')
      return Found(kind, start, n);
    return kGoOn;
  }
};

}  // namespace

int JsonScanString(const char* body, int remaining) {
  return ScanString(body, remaining, JsonStringStopsOfKernelInUse());
}

int JsonWalk(const char* text, int length, JsonTokenFn onToken, void* context) {
  if (onToken == nullptr) {
    CheckHandler check;
    return Walk(text, length, check);
  }
  TokenFnHandler handler{onToken, context, text};
  return Walk(text, length, handler);
}

int JsonFindStep(int kind, const char* text, int start, int length, void* state) {
  JsonFindState& s = *static_cast<JsonFindState*>(state);
  Matcher<false> matcher{s, text, kReadEachName, KeyStepName()};
  int answer;
  switch (kind) {
    case kArray:
    case kObject:
      answer = matcher.Open(kind, start);
      break;
    case kArrayEnd:
    case kObjectEnd:
      answer = matcher.Close(kind, start);
      break;
    case kComma:
      answer = matcher.Comma(start);
      break;
    case kKey:
      answer = matcher.Key(start, length);
      break;
    default:
      answer = kind >= 11 && kind <= 19 ? matcher.Scalar(kind, start, length) : matcher.Colon(start);
  }
  s = matcher.s;
  return answer;
}

int JsonFind(const char* text, int length, const char* path, const char** outStart, int* outLength) {
  if (path == nullptr || path[0] == '\0') path = "$";
  Matcher<true> matcher{{path, 1, 0, 0, 0, 0, -1, outStart, outLength, 0}, text, ReadPathFacts(path), KeyStepName()};
  const int result = Walk(text, length, matcher);
  return result < 0 ? result : matcher.s.foundKind;
}
