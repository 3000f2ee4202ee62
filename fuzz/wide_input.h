// Turns fuzz input bytes into wide texts: texts are separated by '\n'; the
// byte 0xFF and the two bytes after it make one code unit (high byte first),
// so every UTF-16 code unit can occur, lone surrogates and '\n' included;
// any other byte is the code unit of the same value. NUL units are dropped,
// as they would end the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sys/wide_char.h"

typedef std::basic_string<WideChar> WideText;

inline std::vector<WideText> ReadWideTexts(const uint8_t* data, size_t size, size_t maxTexts) {
  std::vector<WideText> texts(1);
  for (size_t i = 0; i < size; ++i) {
    unsigned unit = data[i];
    if (unit == '\n') {
      if (texts.size() == maxTexts) break;
      texts.emplace_back();
      continue;
    }
    if (unit == 0xFF && i + 2 < size) {
      unit = static_cast<unsigned>(data[i + 1]) << 8 | data[i + 2];
      i += 2;
    }
    if (unit != 0) texts.back().push_back(static_cast<WideChar>(unit));
  }
  return texts;
}
