#include "launcher/last_check.h"

#include <climits>
#include <cstdio>

namespace {

// The C locale's white space; the value is the program's own ASCII text.
bool IsSpace(WideChar c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

long long LastCheckFromText(const WideChar* text, bool* whole) {
  while (IsSpace(*text)) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  // The magnitude is gathered unsigned, so that LLONG_MIN, one beyond
  // LLONG_MAX, is reached exactly; it stops growing at the limit.
  const unsigned long long limit = negative ? 0ULL - static_cast<unsigned long long>(LLONG_MIN) : LLONG_MAX;
  unsigned long long magnitude = 0;
  const WideChar* digits = text;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const unsigned digit = static_cast<unsigned>(*text - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  if (whole) *whole = text != digits && *text == '\0';
  if (!negative) return static_cast<long long>(magnitude);
  return magnitude == limit ? LLONG_MIN : -static_cast<long long>(magnitude);
}

int FormatLastCheck(long long seconds, WideChar (&text)[LastCheckTextSize]) {
  char digits[LastCheckTextSize];
  const int length = std::snprintf(digits, sizeof digits, "%lld", seconds);
  for (int i = 0; i <= length; ++i) text[i] = static_cast<unsigned char>(digits[i]);
  return length;
}
