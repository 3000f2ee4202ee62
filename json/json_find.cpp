#include "json/json_find.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "json/json_decode.h"
#include "json/json_internal.h"
#include "json/json_walk.h"

namespace {

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
constexpr NameStops NameStopTable;

// What a lookup learns of its path once: its length, and whether it holds
// a backslash (only then does a name need reading before a key is compared).
struct PathFacts {
  int length;
  bool escaped;
};

// For a matcher that sees one token at a time: reading the step's name for a
// key costs less than learning the whole path's facts on every token.
constexpr PathFacts ReadEachName = {0, true};

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
    while (!NameStopTable.stop[static_cast<unsigned char>(*p)]) ++p;
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

// Follows the path token by token. With MaySkip (driven by JsonFind's own
// walk) the containers that cannot hold the value are skipped by the walk
// instead of being counted through, and no token comes after the value is
// found, since the walk ends there. It works on its own copy of the state,
// which the compiler keeps in registers through a whole walk; nothing it
// calls takes the state by reference.
template <bool MaySkip>
struct Matcher {
  JsonFindState s;
  const char* text;
  PathFacts pathFacts;
  KeyStepName name;

  bool AlreadyFound() const { return !MaySkip && s.foundKind != 0; }

  int Found(int kind, int start, int n) {
    s.foundKind = kind;
    if (s.outStart) *s.outStart = text + start;
    if (s.outLength) *s.outLength = n;
    return Stop;
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
    if (AlreadyFound()) return Stop;
    if (s.depth > s.matchedDepth) {
      ++s.depth;
      return MaySkip ? SkipThisContainer : GoOn;
    }
    if (s.depth < s.matchedDepth) {
      s.containerStart = -1;
    } else {
      s.containerStart = start;
      if (kind == TokenArray && s.path[s.pathPos] == '[') {
        s.arrayIndex = 0;
        s.wantedIndex = ReadIndex(s.path + s.pathPos + 1);
        MatchIndexStep();
      }
    }
    ++s.depth;
    return GoOn;
  }

  int Close(int kind, int start) {
    if (AlreadyFound()) return Stop;
    if (kind == TokenArrayEnd && s.depth == s.matchedDepth) s.arrayIndex = 0;
    --s.depth;
    // The container that just closed is the value.
    if (s.path[s.pathPos] == '\0' && s.depth == s.matchedDepth && s.containerStart != -1)
      return Found(kind - 2, s.containerStart, start - s.containerStart + 1);
    return GoOn;
  }

  int Comma(int) {
    if (AlreadyFound()) return Stop;
    // The element selected by the last index step ended without the rest of
    // the path.
    if (s.depth == s.matchedDepth && s.pathPos > 0 && s.path[s.pathPos - 1] == ']') return Stop;
    if (s.depth == s.matchedDepth + 1 && s.path[s.pathPos] == '[') {
      ++s.arrayIndex;
      MatchIndexStep();
    }
    return GoOn;
  }

  int Key(int start, int n) {
    if (AlreadyFound()) return Stop;
    if (s.depth == s.matchedDepth + 1 && s.path[s.pathPos] == '.') {
      const int nameBytes = MatchedNameBytes(start, n);
      if (nameBytes >= 0) {
        ++s.matchedDepth;
        s.pathPos += 1 + nameBytes;
        return GoOn;
      }
    }
    // A further member of the object whose member matched the last key step:
    // that member ended without the rest of the path.
    return s.depth == s.matchedDepth ? Stop : GoOn;
  }

  int Colon(int) { return AlreadyFound() ? Stop : GoOn; }

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
    if (!NameStopTable.stop[static_cast<unsigned char>(s.path[after])]) return -1;
    const char* const stepName = s.path + s.pathPos + 1;
    if (text[start] != '"' || text[start + n - 1] != '"' || !BytesEqual(text + start + 1, stepName, keyBytes))
      return -1;
    return HoldsStepEnd(stepName, keyBytes) ? -1 : keyBytes;
  }

  int Scalar(int kind, int start, int n) {
    if (AlreadyFound()) return Stop;
    if (kind >= 11 && kind <= 19 && s.depth == s.matchedDepth && s.arrayIndex == s.wantedIndex &&
        s.path[s.pathPos] == '\0')
      return Found(kind, start, n);
    return GoOn;
  }
};

}  // namespace

int JsonFindStep(int kind, const char* text, int start, int length, void* state) {
  JsonFindState& s = *static_cast<JsonFindState*>(state);
  Matcher<false> matcher{s, text, ReadEachName, KeyStepName()};
  int answer;
  switch (kind) {
    case TokenArray:
    case TokenObject:
      answer = matcher.Open(kind, start);
      break;
    case TokenArrayEnd:
    case TokenObjectEnd:
      answer = matcher.Close(kind, start);
      break;
    case TokenComma:
      answer = matcher.Comma(start);
      break;
    case TokenKey:
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
