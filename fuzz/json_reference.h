// Straightforward, slow models of the JSON layer's rules, written without any
// of the shortcuts of json/ (no block scans, no skipping, no caches). The fuzz
// targets check the real functions against them result for result.
#pragma once

#include <climits>
#include <cstring>

namespace reference {

inline bool IsDigit(unsigned char b) { return b >= '0' && b <= '9'; }

inline int ScanString(const char* body, int remaining) {
  for (int k = 0; k < remaining; ++k) {
    const unsigned char b = static_cast<unsigned char>(body[k]);
    if (b == '\\') {
      if (k + 1 < remaining && std::strchr("\b\f\n\r\t\\\"", body[k + 1]) != nullptr && body[k + 1] != '\0') ++k;
      continue;
    }
    if (b == '\0') return -1;
    if (b == '"') return k;
  }
  return -1;
}

// The number reader, one step at a time; exponents beyond 5000 steps are cut
// there, which changes nothing (the value is 0 or infinite long before).
inline double ParseNumber(const char* text, const char** end) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  double sign = 1.0;
  if (*p == '-') {
    sign = -1.0;
    ++p;
  } else if (*p == '+') {
    ++p;
  }
  double integer = 0.0;
  bool any = false;
  const unsigned char* last = nullptr;
  while (IsDigit(*p)) {
    integer = integer * 10.0 + (*p - '0');
    last = p++;
    any = true;
  }
  if (!any && *p != '.') {
    if (end) *end = text;
    return 0.0;
  }
  double value = sign * integer;
  if (*p == '.') {
    last = p++;
    double fraction = 0.0, scale = 0.1;
    while (IsDigit(*p)) {
      fraction = fraction + (*p - '0') * scale;
      scale = scale / 10.0;
      last = p++;
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
    long long e = 0;
    while (IsDigit(*p)) {
      if (e < 5000) e = e * 10 + (*p - '0');
      ++p;
    }
    if (e > 5000) e = 5000;
    for (long long s = 0; s < e; ++s) value = negative ? value / 10.0 : value * 10.0;
    if (end) *end = reinterpret_cast<const char*>(p);
    return value;
  }
  if (end) *end = IsDigit(*last) ? reinterpret_cast<const char*>(p) : text;
  return value;
}

enum State { ExpectValue, ExpectKey, ExpectColon, AfterValue };

// onToken(kind, start, length) returns nonzero to stop.
template <class OnToken>
int Walk(const char* text, int length, OnToken onToken) {
  if (length <= 0) return -1;
  int i = 0, depth = 0;
  State state = ExpectValue;
  char stack[20];
  while (i < length) {
    const char c = text[i];
    if (c == '\t' || c == '\n' || c == '\r' || c == ' ') {
      ++i;
      continue;
    }
    const int start = i;
    int kind = 0, n = 0;
    enum { Report, Scalar, Close } action = Report;
    switch (state) {
      case ExpectValue:
        if (c == '{' || c == '[') {
          if (depth == 20) return -2;
          stack[depth++] = c;
          state = c == '{' ? ExpectKey : ExpectValue;
          kind = c;
          n = 1;
        } else if (c == ']') {
          if (depth == 0 || stack[depth - 1] != '[') return -1;
          action = Close;
        } else if (c == 't' || c == 'n' || c == 'f') {
          const char* word = c == 't' ? "true" : c == 'n' ? "null" : "false";
          n = static_cast<int>(std::strlen(word));
          if (start + n - 1 >= length || std::strncmp(text + start, word, static_cast<size_t>(n)) != 0) return -1;
          kind = c == 't' ? 13 : c == 'n' ? 15 : 14;
          action = Scalar;
        } else if (c == '-' || IsDigit(static_cast<unsigned char>(c))) {
          const char* end = nullptr;
          ParseNumber(text + start, &end);
          kind = 12;
          n = static_cast<int>(end - (text + start));
          action = Scalar;
        } else if (c == '"') {
          n = ScanString(text + start + 1, length - start - 1);
          if (n < 0) return n;
          kind = 11;
          n += 2;
          action = Scalar;
        } else {
          return -1;
        }
        break;
      case ExpectKey:
        if (c == '"') {
          n = ScanString(text + start + 1, length - start - 1);
          if (n < 0) return n;
          state = ExpectColon;
          kind = 1;
          n += 2;
        } else if (c == '}') {
          if (stack[depth - 1] != '{') return -1;
          action = Close;
        } else {
          return -1;
        }
        break;
      case ExpectColon:
        if (c != ':') return -1;
        state = ExpectValue;
        kind = 58;
        n = 1;
        break;
      case AfterValue:
        if (depth == 0) return -1;
        if (c == ',') {
          state = stack[depth - 1] == '{' ? ExpectKey : ExpectValue;
          kind = 44;
          n = 1;
        } else if (c == ']' || c == '}') {
          if (c != stack[depth - 1] + 2) return -1;
          action = Close;
        } else {
          return -1;
        }
        break;
    }
    if (action == Scalar) {
      if (depth == 0) {
        onToken(kind, start, n);
        return start + n;
      }
      state = AfterValue;
    } else if (action == Close) {
      --depth;
      kind = c == ']' ? 93 : 125;
      n = 1;
      if (depth == 0) {
        onToken(kind, start, 1);
        return start + 1;
      }
      state = AfterValue;
    }
    if (onToken(kind, start, n)) return start + n;
    i = start + n;
  }
  return -1;
}

struct FindState {
  const char* path;
  int pathPos, depth, matchedDepth, arrayIndex, wantedIndex, containerStart;
  const char* foundStart;
  int foundLength, foundKind;
};

inline int IndexOf(const char* digits) {
  const double v = ParseNumber(digits, nullptr);
  if (!(v > -2147483649.0)) return INT_MIN;
  if (v >= 2147483648.0) return INT_MAX;
  return static_cast<int>(v);
}

inline void SkipIndexStep(FindState& s) {
  while (s.path[s.pathPos] != ']' && s.path[s.pathPos] != '\0') ++s.pathPos;
  if (s.path[s.pathPos] == ']') ++s.pathPos;
}

inline int FindStep(FindState& s, int kind, const char* text, int start, int n) {
  if (s.foundKind != 0) return 1;
  if (kind == 91 || kind == 123) {
    if (s.depth < s.matchedDepth) {
      s.containerStart = -1;
    } else if (s.depth == s.matchedDepth) {
      s.containerStart = start;
      if (kind == 91 && s.path[s.pathPos] == '[') {
        s.arrayIndex = 0;
        s.wantedIndex = IndexOf(s.path + s.pathPos + 1);
        if (s.arrayIndex == s.wantedIndex) {
          SkipIndexStep(s);
          ++s.matchedDepth;
        }
      }
    }
    ++s.depth;
    return 0;
  }
  if (kind == 93 || kind == 125) {
    if (kind == 93 && s.depth == s.matchedDepth) s.arrayIndex = 0;
    --s.depth;
    if (s.path[s.pathPos] == '\0' && s.depth == s.matchedDepth && s.containerStart != -1) {
      s.foundKind = kind - 2;
      s.foundStart = text + s.containerStart;
      s.foundLength = start - s.containerStart + 1;
      return 1;
    }
    return 0;
  }
  if (kind == 44) {
    if (s.depth == s.matchedDepth && s.path[s.pathPos - 1] == ']') return 1;
    if (s.depth == s.matchedDepth + 1 && s.path[s.pathPos] == '[') {
      ++s.arrayIndex;
      if (s.arrayIndex == s.wantedIndex) {
        SkipIndexStep(s);
        ++s.matchedDepth;
      }
    }
    return 0;
  }
  if (kind == 1) {
    bool match = false;
    int next = s.pathPos;
    if (s.depth == s.matchedDepth + 1 && s.path[s.pathPos] == '.' && n >= 2 && text[start] == '"' &&
        text[start + n - 1] == '"') {
      int p = s.pathPos + 1, j = 0;
      match = true;
      while (s.path[p] != '\0' && s.path[p] != '.' && s.path[p] != '[') {
        char b = s.path[p];
        if (b == '\\' && s.path[p + 1] != '\0') b = s.path[++p];
        if (j >= n - 2 || text[start + 1 + j] != b) match = false;
        ++j;
        ++p;
      }
      if (j != n - 2) match = false;
      next = p;
    }
    if (match) {
      ++s.matchedDepth;
      s.pathPos = next;
      return 0;
    }
    return s.depth == s.matchedDepth ? 1 : 0;
  }
  if (kind >= 11 && kind <= 19) {
    if (s.depth == s.matchedDepth && s.arrayIndex == s.wantedIndex && s.path[s.pathPos] == '\0') {
      s.foundKind = kind;
      s.foundStart = text + start;
      s.foundLength = n;
      return 1;
    }
  }
  return 0;
}

inline int Find(const char* text, int length, const char* path, const char** outStart, int* outLength) {
  if (path[0] == '\0') path = "$";
  FindState s{path, 1, 0, 0, 0, 0, -1, nullptr, 0, 0};
  const int r = Walk(text, length, [&](int kind, int start, int n) { return FindStep(s, kind, text, start, n); });
  if (r < 0) return r;
  if (s.foundKind != 0) {
    *outStart = s.foundStart;
    *outLength = s.foundLength;
  }
  return s.foundKind;
}

inline int Unescape(const char* body, int length, char* out) {
  if (length <= 0) {
    out[0] = '\0';
    return 0;
  }
  int count = 0;
  for (int k = 0; k < length;) {
    if (count == 4096) return -1;
    const unsigned char b = static_cast<unsigned char>(body[k]);
    if (b != '\\') {
      out[count++] = static_cast<char>(b);
      ++k;
    } else if (k + 5 < length && body[k + 1] == 'u') {
      if (body[k + 2] != '0' || body[k + 3] != '0') return -1;
      auto value = [](unsigned char d) -> unsigned {
        if (d >= '0' && d <= '9') return d - '0';
        if (d >= 'A' && d <= 'F') return d - 'A' + 10u;
        return static_cast<unsigned char>(d - 0x57);
      };
      const unsigned hi = value(static_cast<unsigned char>(body[k + 4]));
      const unsigned lo = value(static_cast<unsigned char>(body[k + 5]));
      out[count++] = static_cast<char>(((hi << 4) | lo) & 0xFF);
      k += 6;
    } else if (k + 1 < length) {
      const char* letters = "bfnrt\\\"";
      const char* bytes = "\b\f\n\r\t\\\"";
      const char* at = body[k + 1] != '\0' ? std::strchr(letters, body[k + 1]) : nullptr;
      if (at == nullptr) return -1;
      out[count++] = bytes[at - letters];
      k += 2;
    } else {
      out[count++] = '\\';
      ++k;
    }
  }
  if (count == 4096) return -1;
  out[count] = '\0';
  return count;
}

inline int Base64Decode(const char* text, int length, char* out) {
  auto value = [](unsigned char c) -> unsigned {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26u;
    if (c >= '0' && c <= '9') return c - '0' + 52u;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 64;
  };
  int count = 0;
  for (int g = 0; g + 4 <= length; g += 4) {
    if (count == 4096) break;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text + g);
    const unsigned x1 = value(p[0]), x2 = value(p[1]), x3 = value(p[2]), x4 = value(p[3]);
    out[count++] = static_cast<char>((x1 * 4 + x2 / 16) % 256);
    if (p[2] == '=') continue;
    if (count == 4096) break;
    out[count++] = static_cast<char>((x2 * 16 + x3 / 4) % 256);
    if (p[3] == '=') continue;
    if (count == 4096) break;
    out[count++] = static_cast<char>((x3 * 64 + x4) % 256);
  }
  if (count == 4096) return -1;
  out[count] = '\0';
  return count;
}

}  // namespace reference
