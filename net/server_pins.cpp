#include "net/server_pins.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

const wchar_t PinPrefix[] = L"sha256//";
constexpr int PinPrefixLength = 8;
constexpr int Base64DigestLength = 44;  // 32 bytes: 43 digits and one "="
const char Base64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return c - L'A';
  if (c >= L'a' && c <= L'z') return c - L'a' + 26;
  if (c >= L'0' && c <= L'9') return c - L'0' + 52;
  if (c == L'+') return 62;
  if (c == L'/') return 63;
  return -1;
}

// Only the canonical spelling of a 32-byte value: 43 digits whose last one
// carries no stray low bits, then "=". Any other text is not a pin.
bool DecodeDigest(const wchar_t* text, unsigned char (&digest)[ServerKeyDigestSize]) {
  if (text[Base64DigestLength - 1] != L'=') return false;
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

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

void SetProblem(wchar_t (&problem)[PinProblemSize], const wchar_t* format, int pinNumber) {
  _snwprintf(problem, PinProblemSize - 1, format, pinNumber);
  problem[PinProblemSize - 1] = L'\0';
}

// One entry between separators, blanks already trimmed.
bool ParsePin(const wchar_t* pin, size_t length, int pinNumber, unsigned char (&digest)[ServerKeyDigestSize],
              wchar_t (&problem)[PinProblemSize]) {
  if (length < PinPrefixLength || std::wcsncmp(pin, PinPrefix, PinPrefixLength) != 0) {
    SetProblem(problem, L"pin %d does not begin with sha256//", pinNumber);
    return false;
  }
  if (length != PinPrefixLength + Base64DigestLength || !DecodeDigest(pin + PinPrefixLength, digest)) {
    SetProblem(problem, L"pin %d is not the base64 text of a SHA-256 digest (44 characters)", pinNumber);
    return false;
  }
  return true;
}

}  // namespace

bool ParseServerKeyPins(const wchar_t* text, ServerKeyPins& pins, wchar_t (&problem)[PinProblemSize]) {
  pins.count = 0;
  problem[0] = L'\0';
  for (const wchar_t* entry = text;;) {
    const wchar_t* end = entry;
    while (*end != L'\0' && *end != L';') ++end;
    const wchar_t* first = entry;
    const wchar_t* last = end;
    while (first < last && IsBlank(*first)) ++first;
    while (last > first && IsBlank(last[-1])) --last;
    if (first < last) {
      if (pins.count == MaxServerKeyPins) {
        SetProblem(problem, L"it holds more than %d pins", MaxServerKeyPins);
        return false;
      }
      if (!ParsePin(first, static_cast<size_t>(last - first), pins.count + 1, pins.digests[pins.count], problem))
        return false;
      ++pins.count;
    }
    if (*end == L'\0') break;
    entry = end + 1;
  }
  if (pins.count == 0) {
    SetProblem(problem, L"it holds no pin", 0);
    return false;
  }
  return true;
}

bool MatchesServerKeyPin(const ServerKeyPins& pins, const unsigned char (&digest)[ServerKeyDigestSize]) {
  for (int i = 0; i < pins.count; ++i)
    if (std::memcmp(pins.digests[i], digest, ServerKeyDigestSize) == 0) return true;
  return false;
}

int HashServerKey(const CERT_CONTEXT* certificate, unsigned char (&digest)[ServerKeyDigestSize]) {
  if (certificate == nullptr || certificate->pCertInfo == nullptr) return ERROR_INVALID_PARAMETER;
  BYTE* encoded = nullptr;
  DWORD encodedSize = 0;
  if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &certificate->pCertInfo->SubjectPublicKeyInfo,
                           CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &encodedSize)) {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : ERROR_INVALID_DATA;
  }
  DWORD digestSize = ServerKeyDigestSize;
  const BOOL hashed = CryptHashCertificate2(L"SHA256", 0, nullptr, encoded, encodedSize, digest, &digestSize);
  const DWORD error = hashed ? 0 : GetLastError();
  LocalFree(encoded);
  if (!hashed) return error != 0 ? static_cast<int>(error) : ERROR_INVALID_DATA;
  return digestSize == ServerKeyDigestSize ? 0 : ERROR_INVALID_DATA;
}

void FormatServerKeyPin(const unsigned char (&digest)[ServerKeyDigestSize], wchar_t (&pin)[ServerKeyPinSize]) {
  int length = 0;
  for (const wchar_t* c = PinPrefix; *c != L'\0'; ++c) pin[length++] = *c;
  for (int i = 0; i < ServerKeyDigestSize; i += 3) {
    const int left = ServerKeyDigestSize - i;
    unsigned value = static_cast<unsigned>(digest[i]) << 16;
    if (left > 1) value |= static_cast<unsigned>(digest[i + 1]) << 8;
    if (left > 2) value |= digest[i + 2];
    pin[length++] = static_cast<wchar_t>(Base64Digits[(value >> 18) & 63]);
    pin[length++] = static_cast<wchar_t>(Base64Digits[(value >> 12) & 63]);
    pin[length++] = left > 1 ? static_cast<wchar_t>(Base64Digits[(value >> 6) & 63]) : L'=';
    pin[length++] = left > 2 ? static_cast<wchar_t>(Base64Digits[value & 63]) : L'=';
  }
  pin[length] = L'\0';
}
