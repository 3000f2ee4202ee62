#pragma once
// Test texts in the program's wide character type, written as char16_t
// literals so that the same tests build on Windows (wchar_t) and natively.

#include <string>

#include "sys/wide_char.h"

typedef std::basic_string<WideChar> WideText;

inline WideText W(const char16_t* text) {
  WideText out;
  for (; *text != 0; ++text) out.push_back(static_cast<WideChar>(*text));
  return out;
}
