#include "json/json_walk.h"

#include <cstdint>

#include "json/json_find.h"
#include "json/json_internal.h"
#include "json/json_scan.h"

namespace {

// The bytes whose escape moves the end of a string: after a backslash they
// are stepped over, so an escaped quote does not close the string.
inline bool SkippedAfterBackslash(unsigned char b) {
  return b == 0x08 || b == 0x0C || b == 0x0A || b == 0x0D || b == 0x09 || b == '\\' || b == '"';
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

// Passes every token to a JsonTokenFn.
struct TokenFnHandler {
  JsonTokenFn onToken;
  void* context;
  const char* text;
  int Report(int kind, int start, int n) { return onToken(kind, text, start, n, context) != 0 ? Stop : GoOn; }
  int Open(int kind, int start) { return Report(kind, start, 1); }
  int Close(int kind, int start) { return Report(kind, start, 1); }
  int Key(int start, int n) { return Report(TokenKey, start, n); }
  int Colon(int start) { return Report(TokenColon, start, 1); }
  int Comma(int start) { return Report(TokenComma, start, 1); }
  int Scalar(int kind, int start, int n) { return Report(kind, start, n); }
};

// Only checks the text.
struct CheckHandler {
  int Open(int, int) { return GoOn; }
  int Close(int, int) { return GoOn; }
  int Key(int, int) { return GoOn; }
  int Colon(int) { return GoOn; }
  int Comma(int) { return GoOn; }
  int Scalar(int, int, int) { return GoOn; }
};

}  // namespace

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
