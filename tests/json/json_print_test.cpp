#include "json/json_print.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "json/json_decode.h"
#include "json/json_find.h"
#include "tests/json/counting_sink.h"

namespace {

int Engine(Counting* sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int sum = JsonVPrintf(Counting::Write, sink, format, &args);
  va_end(args);
  return sum;
}

std::string Printed(double value, int precision) {
  char buffer[64];
  JsonPrintf(buffer, sizeof buffer, "%.*g", precision, value);
  return buffer;
}

TEST(JsonPrintDouble, WritesGTexts) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {1.5, "1.5"},
      {-2.5, "-2.5"},
      {100, "100"},
      {123456, "123456"},
      {999999, "999999"},
      {999999.5, "1e+06"},
      {1234567, "1.23457e+06"},
      {1000000, "1e+06"},
      {12345.678, "12345.7"},
      {3.14159265, "3.14159"},
      {99.99999, "100"},
      {2.0 / 3, "0.666667"},
      {0.0001, "0.0001"},
      {0.00001, "0.00001"},
      {0.000001, "1e-06"},
      {0.007873967, "0.007873"},
      {9007199254740992.0, "9.0072e+15"},
      {1e100, "1e+100"},
      {1e-105, "1e-105"},
      {INFINITY, "inf"},
      {-INFINITY, "-inf"},
      {NAN, "nan"},
      {1.0, "1"},
      {-1e-7, "-1e-07"},
      // Ends of the double range.
      {1e308, "1e+308"},
      {DBL_MAX, "1.79769e+308"},
      {-DBL_MAX, "-1.79769e+308"},
      {5e-324, "4.94066e-324"},
      {-5e-324, "-4.94066e-324"},
      {1e-323, "9.88131e-324"},
      {DBL_MIN, "2.22507e-308"},
  };
  for (const auto& c : cases) {
    char buffer[64];
    EXPECT_EQ(JsonPrintf(buffer, sizeof buffer, "%g", c.value), static_cast<int>(std::strlen(c.text)));
    EXPECT_STREQ(buffer, c.text) << c.text;
  }
}

TEST(JsonPrintDouble, WritesPrecisionTextsAndBoundsThePrecision) {
  const struct {
    double value;
    int precision;
    const char* text;
  } cases[] = {
      {9.99, 2, "10"},
      {9.5, 1, "1e+01"},
      {0.5, 1, "5e-01"},
      {123.456, 3, "123"},
      {123.456, 4, "123.5"},
      {0.000001, 7, "0.000001"},
      {0.25, 0, "3e-01"},
      {0.25, -5, "3e-01"},  // below 1: as 1
      {1.0 / 3, 33, "0.333333333333333271435794370778383"},
      {1.0 / 3, 34, "0.333333333333333271435794370778383"},
      {1.0 / 3, INT_MAX, "0.333333333333333271435794370778383"},  // above 33: as 33
      {-DBL_MAX, 33, "-1.79769313486231590328052476408309e+308"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Printed(c.value, c.precision), c.text) << c.value << " " << c.precision;
  }
  // Every magnitude and precision stays within the work area and reads back.
  for (int p = 1; p <= 33; ++p) {
    for (double v :
         {DBL_MAX, 1e308, 9.999999999e307, 1.2345678901234567e300, 123.456, 0.1, 1e-300, DBL_MIN, 4e-320, 5e-324}) {
      const std::string text = Printed(-v, p);
      ASSERT_LE(text.size(), 45u) << v << " " << p;
      // Read back in the wider type: rounding may go past the largest double.
      const long double back = std::strtold(text.c_str(), nullptr);
      if (v > 1e-300 && p > 1) {
        ASSERT_NEAR(static_cast<double>(back / -v), 1.0, p < 3 ? 0.1 : 1e-2) << text;
      }
    }
  }
}

TEST(JsonAppendExponent, WritesTwoOrThreeDigits) {
  const struct {
    int magnitude;
    char sign;
    int count;
    const char* text;
  } cases[] = {
      {0, '+', 4, "e+00"},    {6, '+', 4, "e+06"},    {99, '-', 4, "e-99"}, {100, '+', 5, "e+100"},
      {105, '-', 5, "e-105"}, {400, '+', 5, "e+400"}, {401, '+', 0, ""},    {-1, '-', 0, ""},
  };
  for (const auto& c : cases) {
    char dest[8] = {};
    EXPECT_EQ(JsonAppendExponent(dest, c.magnitude, c.sign), c.count) << c.magnitude;
    EXPECT_EQ(std::string(dest, static_cast<size_t>(c.count)), c.text) << c.magnitude;
  }
}

int WriteOwnArgument(JsonWriteFn sink, void* context, va_list* args) {
  return JsonPrintInt(sink, context, va_arg(*args, int) * 2, true);
}

struct EngineCase {
  std::function<int(Counting*)> run;
  const char* text;
  int calls;
};

TEST(JsonVPrintf, WritesDirectivesWithTheirSinkCalls) {
  const unsigned char hex[] = {0x00, 0xAB};
  const EngineCase cases[] = {
      {[](Counting* s) { return Engine(s, ""); }, "", 0},
      {[](Counting* s) { return Engine(s, "%x%"); }, "", 0},
      {[](Counting* s) { return Engine(s, "100%%"); }, "100", 3},
      {[](Counting* s) { return Engine(s, "%x%d", 5); }, "5", 1},
      {[](Counting* s) { return Engine(s, "%Q", "a\"\\\n\x01\xC3/"); }, "\"a\\\"\\\\\\n\x01\xC3/\"", 12},
      {[](Counting* s) { return Engine(s, "%Q", static_cast<const char*>(nullptr)); }, "\"\"", 2},
      {[](Counting* s) { return Engine(s, "%.*Q", 3, "abcdef"); }, "\"abc\"", 5},
      {[](Counting* s) { return Engine(s, "%.*Q", -2, "abcdef"); }, "\"\"", 2},
      {[](Counting* s) { return Engine(s, "%d|%d|%d", INT_MIN, 0, INT_MAX); }, "-2147483648|0|2147483647", 5},
      {[](Counting* s) { return Engine(s, "%u,%lu,%ld", -1, 7, -7); }, "4294967295,7,-7", 5},
      {[](Counting* s) { return Engine(s, "%B%B", 2, 0); }, "truefalse", 2},
      {[](Counting* s) { return Engine(s, "%s", "ab\"c"); }, "ab\"c", 1},
      {[](Counting* s) { return Engine(s, "%s", ""); }, "", 1},
      {[](Counting* s) { return Engine(s, "%s", static_cast<const char*>(nullptr)); }, "", 0},
      {[](Counting* s) { return Engine(s, "%.*s", 3, "abcdef"); }, "abc", 1},
      {[](Counting* s) { return Engine(s, "%.*s", -1, "abcdef"); }, "", 0},
      {[](Counting* s) { return Engine(s, "%g;%.*g", 0.5, 3, 2.0 / 3); }, "0.5;0.667", 3},
      {[](Counting* s) { return Engine(s, "%V%V%V", 3, "abc", 2, "ab", 1, "a"); }, "\"YWJj\"\"YWI=\"\"YQ==\"", 9},
      {[](Counting* s) { return Engine(s, "%V", 4, "abcd"); }, "\"YWJjZA==\"", 4},
      {[](Counting* s) { return Engine(s, "%V%H", 0, "x", -1, "x"); }, "\"\"\"\"", 4},
      {[&](Counting* s) { return Engine(s, "%H", 2, hex); }, "\"00ab\"", 6},
      {[](Counting* s) { return Engine(s, "[%M,%d]", WriteOwnArgument, 21, 7); }, "[42,7]", 5},
      {[](Counting* s) { return Engine(s, "%lQ|%lx|%l", "a"); }, "\"a\"||", 5},
      {[](Counting* s) { return Engine(s, "%"); }, "", 0},
  };
  for (const EngineCase& c : cases) {
    Counting sink;
    const int sum = c.run(&sink);
    EXPECT_EQ(sink.text, c.text);
    EXPECT_EQ(sum, static_cast<int>(sink.text.size())) << c.text;
    EXPECT_EQ(sink.calls, c.calls) << c.text;
  }
}

TEST(JsonPrintf, StoresWhatFitsAndAlwaysTerminates) {
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(JsonPrintf(buffer, 5, "%s%d", "abcdefgh", 9), 4);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(buffer[5], 'x');
  EXPECT_EQ(JsonPrintf(buffer, 1, "%d", 123), 0);
  EXPECT_EQ(buffer[0], '\0');
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(JsonPrintf(buffer, 8, ""), 0);  // no sink call: no NUL either
  EXPECT_EQ(JsonPrintf(buffer, 8, "%x%y"), 0);
  EXPECT_EQ(JsonPrintf(buffer, 0, "abc"), 0);  // size 0 writes nothing
  EXPECT_EQ(JsonPrintf(buffer, -3, "abc"), 0);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(JsonPrintf(nullptr, 8, "abc"), 0);
  JsonFixedBuffer full{buffer, 4, 3};
  EXPECT_EQ(JsonWriteFixedBuffer("abc", 3, &full), 0);
  EXPECT_EQ(JsonWriteFixedBuffer("abc", -5, &full), 0);
  EXPECT_EQ(full.length, 3);
}

TEST(JsonPrintf, WritesTheKeyRequestAndCutsItAt2027Bytes) {
  const char* format =
      "{\"appId\":\"DUREZIR\",\"client_version\":%Q,\"client_ip\":%Q,\"command\":\"getKey\","
      "\"user\":%Q,\"pw\":%Q}";
  char body[2028];
  const int length = JsonPrintf(body, sizeof body, format, "3.06.0.1", "10.0.0.7", "\\dom\\us\"er", "p\xC3\xA4ss");
  EXPECT_STREQ(body,
               "{\"appId\":\"DUREZIR\",\"client_version\":\"3.06.0.1\",\"client_ip\":\"10.0.0.7\",\"command\":"
               "\"getKey\",\"user\":\"\\\\dom\\\\us\\\"er\",\"pw\":\"p\xC3\xA4ss\"}");
  EXPECT_EQ(length, static_cast<int>(std::strlen(body)));
  const std::string password(3000, '"');
  EXPECT_EQ(JsonPrintf(body, sizeof body, format, "v", "ip", "u", password.c_str()), 2027);
  EXPECT_EQ(body[2027], '\0');
}

TEST(JsonRoundTrip, WrittenValuesAreFoundAndDecoded) {
  unsigned char key[3000], uploadKey[3069];
  for (size_t i = 0; i < sizeof key; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
  for (size_t i = 0; i < sizeof uploadKey; ++i) uploadKey[i] = static_cast<unsigned char>(255 - i % 251);
  std::string message;
  for (int b = 1; b < 256; ++b) message += static_cast<char>(b);
  static char reply[16384];
  const int length = JsonPrintf(reply, sizeof reply,
                                "{\"response\":%Q,\"responseMessage\":%Q,\"n\":[%d,%u,%g],"
                                "\"responseData\":{\"result\":%B,\"key\":%V,\"uploadKey\":%V}}",
                                "PASS", message.c_str(), INT_MIN, -1, -0.125, 1, static_cast<int>(sizeof key), key,
                                static_cast<int>(sizeof uploadKey), uploadKey);
  ASSERT_GT(length, 8000);
  ASSERT_EQ(JsonWalk(reply, length, nullptr, nullptr), length);
  const char* start = nullptr;
  int n = 0;
  char out[JsonValueBufferSize];
  EXPECT_EQ(JsonFind(reply, length, "$.responseData.result", nullptr, nullptr), 13);
  ASSERT_EQ(JsonFind(reply, length, "$.response", &start, &n), 11);
  EXPECT_EQ(JsonUnescape(start + 1, n - 2, out), 4);
  EXPECT_STREQ(out, "PASS");
  ASSERT_EQ(JsonFind(reply, length, "$.responseMessage", &start, &n), 11);
  EXPECT_EQ(JsonUnescape(start + 1, n - 2, out), 255);
  EXPECT_EQ(std::string(out), message);
  ASSERT_EQ(JsonFind(reply, length, "$.responseData.key", &start, &n), 11);
  ASSERT_EQ(JsonBase64Decode(start + 1, n - 2, out), 3000);
  EXPECT_EQ(std::memcmp(out, key, sizeof key), 0);
  ASSERT_EQ(JsonFind(reply, length, "$.responseData.uploadKey", &start, &n), 11);
  ASSERT_EQ(JsonBase64Decode(start + 1, n - 2, out), 3069);
  EXPECT_EQ(std::memcmp(out, uploadKey, sizeof uploadKey), 0);
  const struct {
    const char* path;
    double value;
  } numbers[] = {{"$.n[0]", INT_MIN}, {"$.n[1]", 4294967295.0}, {"$.n[2]", -0.125}};
  for (const auto& c : numbers) {
    ASSERT_EQ(JsonFind(reply, length, c.path, &start, &n), 12) << c.path;
    const char* end = nullptr;
    EXPECT_EQ(JsonParseNumber(start, &end), c.value) << c.path;
    EXPECT_EQ(end, start + n);
  }
}

}  // namespace
