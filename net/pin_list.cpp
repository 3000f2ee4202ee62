#include "net/pin_list.h"

#include <cstdio>
#include <cstring>

namespace {

const char PinPrefix[] = "sha256//";
constexpr int PinPrefixLength = 8;
constexpr int Base64DigestLength = 44;  // 32 bytes: 43 digits and one "="
const char Base64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(WideChar c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Only the canonical spelling of a 32-byte value: 43 digits whose last one
// carries no stray low bits, then "=". Any other text is not a pin.
bool DecodeDigest(const WideChar* text, unsigned char (&digest)[ServerKeyDigestSize]) {
  if (text[Base64DigestLength - 1] != '=') return false;
  unsigned bits = 0;
  int bitCount = 0;
  int written = 0;
  for (int i = 0; i < Base64DigestLength - 1; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<unsigned>(value);
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      digest[written++] = static_cast<unsigned char>(bits >> bitCount);
      bits &= (1u << bitCount) - 1;
    }
  }
  return written == ServerKeyDigestSize && bits == 0;
}

bool IsBlank(WideChar c) { return c == ' ' || c == '\t'; }

// Appends ASCII text, cut at the buffer's end.
void AppendProblem(WideChar (&problem)[PinProblemSize], int& length, const char* text) {
  for (; *text != '\0' && length < PinProblemSize - 1; ++text) problem[length++] = static_cast<unsigned char>(*text);
  problem[length] = '\0';
}

// The problem text: `before`, the number unless it is negative, `after`.
void SetProblem(WideChar (&problem)[PinProblemSize], const char* before, int number, const char* after) {
  char digits[16] = "";
  if (number >= 0) std::snprintf(digits, sizeof digits, "%d", number);
  int length = 0;
  AppendProblem(problem, length, before);
  AppendProblem(problem, length, digits);
  AppendProblem(problem, length, after);
}

bool HasPinPrefix(const WideChar* pin, size_t length) {
  if (length < PinPrefixLength) return false;
  for (int i = 0; i < PinPrefixLength; ++i)
    if (pin[i] != static_cast<unsigned char>(PinPrefix[i])) return false;
  return true;
}

// One entry between separators, blanks already trimmed.
bool ParsePin(const WideChar* pin, size_t length, int pinNumber, unsigned char (&digest)[ServerKeyDigestSize],
              WideChar (&problem)[PinProblemSize]) {
  if (!HasPinPrefix(pin, length)) {
    SetProblem(problem, "pin ", pinNumber, " does not begin with sha256//");
    return false;
  }
  if (length != PinPrefixLength + Base64DigestLength || !DecodeDigest(pin + PinPrefixLength, digest)) {
    SetProblem(problem, "pin ", pinNumber, " is not the base64 text of a SHA-256 digest (44 characters)");
    return false;
  }
  return true;
}

}  // namespace

bool ParseServerKeyPins(const WideChar* text, ServerKeyPins& pins, WideChar (&problem)[PinProblemSize]) {
  pins.count = 0;
  problem[0] = '\0';
  for (const WideChar* entry = text;;) {
    const WideChar* end = entry;
    while (*end != '\0' && *end != ';') ++end;
    const WideChar* first = entry;
    const WideChar* last = end;
    while (first < last && IsBlank(*first)) ++first;
    while (last > first && IsBlank(last[-1])) --last;
    if (first < last) {
      if (pins.count == MaxServerKeyPins) {
        SetProblem(problem, "it holds more than ", MaxServerKeyPins, " pins");
        return false;
      }
      if (!ParsePin(first, static_cast<size_t>(last - first), pins.count + 1, pins.digests[pins.count], problem))
        return false;
      ++pins.count;
    }
    if (*end == '\0') break;
    entry = end + 1;
  }
  if (pins.count == 0) {
    SetProblem(problem, "it holds no pin", -1, "");
    return false;
  }
  return true;
}

bool MatchesServerKeyPin(const ServerKeyPins& pins, const unsigned char (&digest)[ServerKeyDigestSize]) {
  for (int i = 0; i < pins.count; ++i)
    if (std::memcmp(pins.digests[i], digest, ServerKeyDigestSize) == 0) return true;
  return false;
}

void FormatServerKeyPin(const unsigned char (&digest)[ServerKeyDigestSize], WideChar (&pin)[ServerKeyPinSize]) {
  int length = 0;
  for (const char* c = PinPrefix; *c != '\0'; ++c) pin[length++] = static_cast<unsigned char>(*c);
  for (int i = 0; i < ServerKeyDigestSize; i += 3) {
    const int left = ServerKeyDigestSize - i;
    unsigned value = static_cast<unsigned>(digest[i]) << 16;
    if (left > 1) value |= static_cast<unsigned>(digest[i + 1]) << 8;
    if (left > 2) value |= digest[i + 2];
    pin[length++] = static_cast<WideChar>(Base64Digits[(value >> 18) & 63]);
    pin[length++] = static_cast<WideChar>(Base64Digits[(value >> 12) & 63]);
    pin[length++] = left > 1 ? static_cast<WideChar>(Base64Digits[(value >> 6) & 63]) : '=';
    pin[length++] = left > 2 ? static_cast<WideChar>(Base64Digits[value & 63]) : '=';
  }
  pin[length] = '\0';
}
