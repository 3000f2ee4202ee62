#include "json/json_decode.h"

#include <cmath>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

// An output buffer of exactly JsonValueBufferSize bytes with a guard behind it.
struct Output {
  char bytes[JsonValueBufferSize];
  char guard[16];
  Output() {
    std::memset(bytes, '?', sizeof bytes);
    std::memset(guard, 'G', sizeof guard);
  }
  bool GuardIntact() const { return std::string(guard, sizeof guard) == std::string(sizeof guard, 'G'); }
};

struct DecodeCase {
  std::string in;
  int expected;
  std::string out;
};

TEST(JsonUnescape, DecodesEscapesAndRejectsBadOnes) {
  const DecodeCase cases[] = {
      {"PASS", 4, "PASS"},
      {"", 0, ""},
      {"a\\nb", 3, "a\nb"},
      {"\\b\\f\\n\\r\\t\\\\\\\"", 7, "\b\f\n\r\t\\\""},
      {"\\u0041", 1, "A"},
      {"P\\u0041SS", 4, "PASS"},
      {"\\u00e9", 1, "\xE9"},
      {"\\u00E9", 1, "\xE9"},
      {"\\u004g", 1, "P"},  // digits are not validated: 'g' counts as 0x10
      {"\xC3\xA9", 2, "\xC3\xA9"},
      {"ab\\", 3, "ab\\"},
      {"\\u0100", -1, ""},
      {"\\u1041", -1, ""},
      {"\\/", -1, ""},
      {"\\q", -1, ""},
      {"\\u00", -1, ""},
      {"\\u004", -1, ""},
      {"x\\u", -1, ""},
  };
  for (const DecodeCase& c : cases) {
    Output out;
    EXPECT_EQ(JsonUnescape(c.in.data(), static_cast<int>(c.in.size()), out.bytes), c.expected) << c.in;
    if (c.expected >= 0) {
      EXPECT_EQ(std::string(out.bytes), c.out) << c.in;
    }
  }
  Output untouched;
  EXPECT_EQ(JsonUnescape("abc", -1, untouched.bytes), 0);
  EXPECT_EQ(untouched.bytes[0], '\0');
}

TEST(JsonUnescape, FitsAtMost4095Bytes) {
  const struct {
    std::string in;
    int expected;
  } cases[] = {
      {std::string(4095, 'a'), 4095},
      {std::string(4096, 'a'), -1},
      {std::string(4094, 'a') + "\\n", 4095},
      {std::string(4095, 'a') + "\\n", -1},
      {std::string(4094, 'a') + "\\u0041", 4095},
      {std::string(10000, 'a'), -1},
  };
  for (const auto& c : cases) {
    Output out;
    EXPECT_EQ(JsonUnescape(c.in.data(), static_cast<int>(c.in.size()), out.bytes), c.expected) << c.in.size();
    EXPECT_TRUE(out.GuardIntact());
    if (c.expected > 0) {
      EXPECT_EQ(std::strlen(out.bytes), static_cast<size_t>(c.expected));
    }
  }
}

TEST(JsonBase64Decode, DecodesGroupsAndIgnoresATrailingPart) {
  const DecodeCase cases[] = {
      {"TWFu", 3, "Man"},
      {"TWE=", 2, "Ma"},
      {"TQ==", 1, "M"},
      {"TWFuTQ==", 4, "ManM"},
      {"TWF", 0, ""},
      {"TWFuTQ", 3, "Man"},
      {"", 0, ""},
      {"TQ==TWFu", 4, "MMan"},
      {"+/+/", 3, "\xFB\xFF\xBF"},
      {"=QID", 3, "\x01\x02\x03"},  // '=' first counts as 64, whose high bits fall off
  };
  for (const DecodeCase& c : cases) {
    Output out;
    EXPECT_EQ(JsonBase64Decode(c.in.data(), static_cast<int>(c.in.size()), out.bytes), c.expected) << c.in;
    EXPECT_EQ(std::string(out.bytes, static_cast<size_t>(c.expected)), c.out) << c.in;
    EXPECT_EQ(out.bytes[c.expected], '\0') << c.in;
  }
  Output spaced;  // whitespace is a group member, not skipped
  EXPECT_EQ(JsonBase64Decode("TWFu\nTWFu", 9, spaced.bytes), 6);
  EXPECT_EQ(std::string(spaced.bytes, 3), "Man");
}

TEST(JsonBase64Decode, FitsAtMost4095Bytes) {
  const std::string group = "QUJD";  // 3 bytes
  const struct {
    std::string in;
    int expected;
  } cases[] = {
      {std::string(), 0},
      {[&] {
         std::string s;
         for (int i = 0; i < 1365; ++i) s += group;
         return s;
       }(),
       4095},
      {[&] {
         std::string s;
         for (int i = 0; i < 1366; ++i) s += group;
         return s;
       }(),
       -1},
      {[&] {
         std::string s;
         for (int i = 0; i < 1365; ++i) s += group;
         return s + "QQ==";
       }(),
       -1},
      {[&] {
         std::string s;
         for (int i = 0; i < 1364; ++i) s += group;
         return s + "QUI=";
       }(),
       4094},
      {[&] {
         std::string s;
         for (int i = 0; i < 3000; ++i) s += group;
         return s;
       }(),
       -1},
  };
  for (const auto& c : cases) {
    Output out;
    EXPECT_EQ(JsonBase64Decode(c.in.data(), static_cast<int>(c.in.size()), out.bytes), c.expected) << c.in.size();
    EXPECT_TRUE(out.GuardIntact());
  }
}

double TimesTen(double v, int steps) {
  for (int i = 0; i < steps; ++i) v = v * 10.0;
  return v;
}

double DividedByTen(double v, int steps) {
  for (int i = 0; i < steps; ++i) v = v / 10.0;
  return v;
}

TEST(JsonParseNumber, ReadsValueAndEnd) {
  const struct {
    std::string text;
    double value;
    int end;
  } cases[] = {
      {"42", 42.0, 2},
      {"-1.5e2", -150.0, 6},
      {"2E-3", DividedByTen(2.0, 3), 4},
      {"+7", 7.0, 2},
      {"-", 0.0, 0},
      {"1.", 1.0, 0},
      {"-.", 0.0, 0},
      {"1.e2", 100.0, 4},
      {"abc", 0.0, 0},
      {"3]", 3.0, 1},
      {"007", 7.0, 3},
      {".5", 0.5, 2},
      {"-.5", -0.5, 3},
      {"1e", 1.0, 2},
      {"1e+-5", 1.0, 3},
      {"1e-+5", DividedByTen(1.0, 5), 5},
      {"1E5x", 1e5, 3},
      {"1.5e300", TimesTen(1.5, 300), 7},
      {"123e-320", DividedByTen(123.0, 320), 8},
      {"4.9e-330", DividedByTen(4.9, 330), 8},
      {"1e400", INFINITY, 5},
      {"-1e400", -INFINITY, 6},
      {"1e-400", 0.0, 6},
      {"1e2147483648", INFINITY, 12},
      {"5e-99999999999999999999", 0.0, 23},
      {"0e99999999999", 0.0, 13},
      {" 1", 0.0, 0},
      {"e5", 0.0, 0},
      {"-e5", 0.0, 0},
  };
  for (const auto& c : cases) {
    const char* end = nullptr;
    const double value = JsonParseNumber(c.text.c_str(), &end);
    EXPECT_EQ(value, c.value) << c.text;
    EXPECT_EQ(end - c.text.c_str(), c.end) << c.text;
  }
  EXPECT_TRUE(std::signbit(JsonParseNumber("-0", nullptr)));
}

TEST(JsonParseNumber, EndsQuicklyOnExponentsOfManyDigits) {
  for (const char* prefix : {"1e", "1e-", "0.5E+", "-7e-"}) {
    const std::string text = prefix + std::string(1000000, '9') + "]";
    const char* end = nullptr;
    const double value = JsonParseNumber(text.c_str(), &end);
    EXPECT_EQ(end, text.c_str() + text.size() - 1) << prefix;
    EXPECT_TRUE(value == 0.0 || std::isinf(value)) << prefix;
  }
}

}  // namespace
