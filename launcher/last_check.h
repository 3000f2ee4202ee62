#pragma once
// The text of "LastCheck": decimal Unix seconds. Needs no Windows header.
#include "sys/wide_char.h"

// "-9223372036854775808" and the terminator, with room to spare.
constexpr int LastCheckTextSize = 24;

// Reads the text as wcstoll reads it in base 10: leading white space and a
// sign, digits up to the first non-digit, 0 without digits, the nearest limit
// beyond the 64-bit range. `whole` (may be null) tells whether digits were
// read and nothing follows them.
long long LastCheckFromText(const WideChar* text, bool* whole = nullptr);

// Writes `seconds` as decimal text ("%lld"); returns its length.
int FormatLastCheck(long long seconds, WideChar (&text)[LastCheckTextSize]);
