#include "json/json_decode.h"

#include <cstdint>
#include <cstring>

#include "json/json_internal.h"

namespace {

constexpr unsigned char InvalidBase64 = 64;

struct Base64Table {
  unsigned char value[256];
  constexpr Base64Table() : value() {
    for (int i = 0; i < 256; ++i) value[i] = InvalidBase64;
    for (int i = 0; i < 26; ++i) {
      value['A' + i] = static_cast<unsigned char>(i);
      value['a' + i] = static_cast<unsigned char>(26 + i);
    }
    for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<unsigned char>(52 + i);
    value[static_cast<unsigned char>('+')] = 62;
    value[static_cast<unsigned char>('/')] = 63;
  }
};
constexpr Base64Table Base64Values;

// Each alphabet value already moved to its place in a group's 24 bits; a
// byte outside the alphabet (or "=") sets NotInAlphabet instead.
constexpr uint32_t NotInAlphabet = 1u << 24;

struct Base64ShiftedTables {
  uint32_t first[256];
  uint32_t second[256];
  uint32_t third[256];
  uint32_t fourth[256];
  constexpr Base64ShiftedTables() : first(), second(), third(), fourth() {
    for (int i = 0; i < 256; ++i) {
      const uint32_t x = Base64Values.value[i];
      const bool valid = x < InvalidBase64;
      first[i] = valid ? x << 18 : NotInAlphabet;
      second[i] = valid ? x << 12 : NotInAlphabet;
      third[i] = valid ? x << 6 : NotInAlphabet;
      fourth[i] = valid ? x : NotInAlphabet;
    }
  }
};
constexpr Base64ShiftedTables Base64Shifted;

// Returns the decoded byte for an escape letter, or -1 when the letter is not
// one of b f n r t \ ".
int EscapedByte(unsigned char letter) {
  switch (letter) {
    case 'b':
      return 0x08;
    case 'f':
      return 0x0C;
    case 'n':
      return 0x0A;
    case 'r':
      return 0x0D;
    case 't':
      return 0x09;
    case '\\':
      return 0x5C;
    case '"':
      return 0x22;
    default:
      return -1;
  }
}

// Value of one "\u00XY" digit. Bytes outside 0-9 and A-F map to
// (byte - 0x57) mod 256, which gives 10..15 for a-f.
unsigned HexDigitValue(unsigned char b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  return static_cast<unsigned char>(b - 0x57);
}

// Once a value is 0 or infinite, further steps by 10 cannot change it, and a
// finite non-zero double becomes 0 or infinite within about 650 steps; so an
// exponent beyond this bound gives the same result as its exact value.
constexpr int ExponentCap = 100000000;

// Copies n bytes in fixed-size pieces: values are short, and a general copy
// of unknown size may be expanded into a slow string instruction.
void CopyRun(char* out, const char* in, int n) {
  while (n >= 16) {
    std::memcpy(out, in, 16);
    out += 16;
    in += 16;
    n -= 16;
  }
  if (n >= 8) {
    std::memcpy(out, in, 8);
    out += 8;
    in += 8;
    n -= 8;
  }
  while (n-- > 0) *out++ = *in++;
}

}  // namespace

int JsonUnescape(const char* body, int length, char* out) {
  if (length <= 0) {
    out[0] = '\0';
    return 0;
  }
  int count = 0;
  int k = 0;
  while (k < length) {
    // Copy the run of plain bytes up to the next backslash in one go.
    const void* found = std::memchr(body + k, '\\', static_cast<size_t>(length - k));
    int runEnd = found ? static_cast<int>(static_cast<const char*>(found) - body) : length;
    int run = runEnd - k;
    if (run > 0) {
      if (run > JsonValueBufferSize - count) {
        // Fill the buffer as far as it goes, then report that it overflowed.
        CopyRun(out + count, body + k, JsonValueBufferSize - count);
        return -1;
      }
      CopyRun(out + count, body + k, run);
      count += run;
      k = runEnd;
      if (k >= length) break;
    }
    // body[k] is a backslash.
    if (count == JsonValueBufferSize) return -1;
    int byte;
    if (k + 5 < length && body[k + 1] == 'u') {
      if (body[k + 2] != '0' || body[k + 3] != '0') return -1;
      unsigned hi = HexDigitValue(static_cast<unsigned char>(body[k + 4]));
      unsigned lo = HexDigitValue(static_cast<unsigned char>(body[k + 5]));
      byte = static_cast<int>(((hi << 4) | lo) & 0xFFu);
      k += 6;
    } else if (k + 1 < length) {
      byte = EscapedByte(static_cast<unsigned char>(body[k + 1]));
      if (byte < 0) return -1;
      k += 2;
    } else {
      byte = '\\';
      k += 1;
    }
    out[count++] = static_cast<char>(byte);
  }
  if (count >= JsonValueBufferSize) return -1;
  out[count] = '\0';
  return count;
}

int JsonBase64Decode(const char* text, int length, char* out) {
  const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
  const int groups = length > 0 ? length / 4 : 0;
  int count = 0;
  int g = 0;
  // Whole groups of four alphabet bytes while three more output bytes
  // certainly fit: one table look-up per byte, no per-byte checks.
  for (; g < groups && count <= JsonValueBufferSize - 3; ++g) {
    const unsigned char* p = in + 4 * g;
    const uint32_t v =
        Base64Shifted.first[p[0]] | Base64Shifted.second[p[1]] | Base64Shifted.third[p[2]] | Base64Shifted.fourth[p[3]];
    if (v & NotInAlphabet) break;
    out[count] = static_cast<char>(v >> 16);
    out[count + 1] = static_cast<char>(v >> 8);
    out[count + 2] = static_cast<char>(v);
    count += 3;
  }
  // Groups with "=" or bytes outside the alphabet, and the end of the buffer:
  // byte by byte, stopping once the buffer is full.
  for (; g < groups && count < JsonValueBufferSize; ++g) {
    const unsigned char* p = in + 4 * g;
    const unsigned x1 = Base64Values.value[p[0]], x2 = Base64Values.value[p[1]];
    const unsigned x3 = Base64Values.value[p[2]], x4 = Base64Values.value[p[3]];
    out[count++] = static_cast<char>((x1 * 4 + x2 / 16) & 0xFFu);
    if (p[2] == '=') continue;
    if (count == JsonValueBufferSize) break;
    out[count++] = static_cast<char>((x2 * 16 + x3 / 4) & 0xFFu);
    if (p[3] == '=') continue;
    if (count == JsonValueBufferSize) break;
    out[count++] = static_cast<char>((x3 * 64 + x4) & 0xFFu);
  }
  if (count >= JsonValueBufferSize) return -1;
  out[count] = '\0';
  return count;
}

double JsonParseNumber(const char* text, const char** end) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  double sign = 1.0;
  if (*p == '-') {
    sign = -1.0;
    ++p;
  } else if (*p == '+') {
    ++p;
  }
  double integer = 0.0;
  bool lastWasDigit = false;
  bool anyIntegerDigit = false;
  while (IsDecimalDigit(*p)) {
    integer = integer * 10.0 + static_cast<double>(*p - '0');
    ++p;
    anyIntegerDigit = true;
    lastWasDigit = true;
  }
  if (!anyIntegerDigit && *p != '.') {
    if (end) *end = text;
    return 0.0;
  }
  double value = sign * integer;
  if (*p == '.') {
    ++p;
    lastWasDigit = false;
    double fraction = 0.0;
    double scale = 0.1;
    while (IsDecimalDigit(*p)) {
      fraction = fraction + static_cast<double>(*p - '0') * scale;
      scale = scale / 10.0;
      ++p;
      lastWasDigit = true;
    }
    value = sign * integer + sign * fraction;
  }
  if (*p == 'e' || *p == 'E') {
    ++p;
    bool negative = false;
    if (*p == '-') {
      negative = true;
      ++p;
    }
    if (*p == '+') ++p;
    int exponent = 0;
    while (IsDecimalDigit(*p)) {
      if (exponent < ExponentCap) exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    // One step at a time so that results equal repeated multiplication or
    // division; stop once further steps cannot change the value.
    if (negative) {
      for (int s = 0; s < exponent && value != 0.0 && !IsInfinite(value); ++s) value = value / 10.0;
    } else {
      for (int s = 0; s < exponent && value != 0.0 && !IsInfinite(value); ++s) value = value * 10.0;
    }
    if (end) *end = reinterpret_cast<const char*>(p);
    return value;
  }
  if (end) *end = lastWasDigit ? reinterpret_cast<const char*>(p) : text;
  return value;
}
