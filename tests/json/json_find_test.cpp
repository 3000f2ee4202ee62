#include "json/json_find.h"

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json_cpu.h"
#include "json/json_decode.h"
#include "json/json_scan.h"

namespace {

// Every test here runs once with each scanning kernel, on the same inputs.
class ScanKernel : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!JsonScanKernelAvailable(GetParam())) GTEST_SKIP() << JsonScanKernelName(GetParam()) << " cannot run here";
    saved_ = JsonScanKernelInUse();
    ASSERT_EQ(JsonUseScanKernel(GetParam()), 0);
  }
  void TearDown() override {
    if (saved_ >= 0) JsonUseScanKernel(saved_);
  }

 private:
  int saved_ = -1;
};
class JsonWalkTest : public ScanKernel {};
class JsonScanStringTest : public ScanKernel {};
class JsonFindTest : public ScanKernel {};

std::string KernelName(const testing::TestParamInfo<int>& info) { return JsonScanKernelName(info.param); }

constexpr int WholeText = -1;  // length: the whole C string

int Walk(const std::string& text, int length = WholeText) {
  return JsonWalk(text.c_str(), length == WholeText ? static_cast<int>(text.size()) : length, nullptr, nullptr);
}

// The AVX-512 gate against the flags Linux reports for this processor (and
// clears for state the kernel does not save).
TEST(JsonCpuTest, RunsAvx512OnlyWithEveryInstructionSetItUses) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line) && line.compare(0, 5, "flags") != 0) {
  }
  if (line.compare(0, 5, "flags") != 0) GTEST_SKIP() << "no /proc/cpuinfo here";
  const std::string flags = line.substr(line.find(':') + 1) + " ";
  bool all = true;
  for (const char* flag : {"avx2", "bmi1", "bmi2", "popcnt", "pclmulqdq", "avx512f", "avx512dq", "avx512cd", "avx512bw",
                           "avx512vl", "avx512vbmi", "avx512_vbmi2"}) {
    all = all && flags.find(" " + std::string(flag) + " ") != std::string::npos;
  }
  EXPECT_EQ(CpuCanRunAvx512(), all) << flags;
}

TEST_P(JsonWalkTest, AcceptsRejectsAndEndsWhereExpected) {
  struct Case {
    std::string text;
    int length;
    int expected;
  };
  const Case cases[] = {
      {"{}", WholeText, 2},
      {"[]", WholeText, 2},
      {"[1,]", WholeText, 4},
      {"{\"a\":1,}", WholeText, 8},
      {" [ 1 , 2 ] ", WholeText, 10},
      {"{}x", WholeText, 2},
      {"truex", WholeText, 4},
      {"false", WholeText, 5},
      {"null", WholeText, 4},
      {"\"a\\\"b\"", WholeText, 6},
      {"\"a\x01\"", WholeText, 4},
      {"\"\\\t\"", WholeText, 4},
      {"123", 2, 3},  // a number reads past the length
      {"-", WholeText, 0},
      {"1.", WholeText, 0},  // a number that consumes nothing
      {"[1 2]", WholeText, -1},
      {"{\"a\" 1}", WholeText, -1},
      {"{", WholeText, -1},
      {"", WholeText, -1},
      {"   ", WholeText, -1},
      {"tru", WholeText, -1},
      {"nul", WholeText, -1},
      {"fals", WholeText, -1},
      {"true", 3, -1},
      {"trUe", WholeText, -1},
      {std::string("\"a\0b\"", 5), WholeText, -1},
      {"\"ab", WholeText, -1},
      {"\"ab\\\"", WholeText, -1},
      {"[1}", WholeText, -1},
      {"{]", WholeText, -1},
      {"]", WholeText, -1},
      {"[,1]", WholeText, -1},
      {"{,}", WholeText, -1},
      {"{\"a\":}", WholeText, -1},
      {"[-]", WholeText, -1},
      {"[1.]", WholeText, -1},
      {"{1:2}", WholeText, -1},
      {"[x]", WholeText, -1},
      {"[1]", 2, -1},
      {"[\"abc\"]", 5, -1},
      {"\v1", WholeText, -1},
      {"12345678901234567890", 3, 20},
      {"[1234567.12345678e-123456789]", WholeText, 29},
      {"[123456789x]", WholeText, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(Walk(c.text, c.length), c.expected) << "text: " << c.text;
}

TEST_P(JsonWalkTest, NestsTwentyDeepButNotTwentyOne) {
  EXPECT_EQ(Walk(std::string(20, '[') + std::string(20, ']')), 40);
  EXPECT_EQ(Walk(std::string(21, '[') + std::string(21, ']')), -2);
  EXPECT_EQ(Walk(std::string(21, '[')), -2);
  std::string objects;
  for (int i = 0; i < 20; ++i) objects += "{\"a\":";
  EXPECT_EQ(Walk(objects + "1" + std::string(20, '}')), static_cast<int>(objects.size()) + 21);
  EXPECT_EQ(Walk(objects + "{}" + std::string(20, '}')), -2);
}

struct Token {
  int kind, start, length;
};

struct Recorder {
  std::vector<Token> tokens;
  size_t stopAt = ~size_t{0};
  static int On(int kind, const char*, int start, int length, void* self) {
    Recorder* r = static_cast<Recorder*>(self);
    r->tokens.push_back({kind, start, length});
    return r->tokens.size() == r->stopAt ? 1 : 0;
  }
};

TEST_P(JsonWalkTest, ReportsEveryTokenAndStopsWhenAsked) {
  const char* text = "{\"a\": [1e2,\"x\",true],\"b\":null}";
  Recorder all;
  EXPECT_EQ(JsonWalk(text, static_cast<int>(std::strlen(text)), Recorder::On, &all), 30);
  const std::vector<std::vector<int>> expected = {{123, 0, 1}, {1, 1, 3},   {58, 4, 1},  {91, 6, 1},  {12, 7, 3},
                                                  {44, 10, 1}, {11, 11, 3}, {44, 14, 1}, {13, 15, 4}, {93, 19, 1},
                                                  {44, 20, 1}, {1, 21, 3},  {58, 24, 1}, {15, 25, 4}, {125, 29, 1}};
  ASSERT_EQ(all.tokens.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(all.tokens[i].kind, expected[i][0]) << i;
    EXPECT_EQ(all.tokens[i].start, expected[i][1]) << i;
    EXPECT_EQ(all.tokens[i].length, expected[i][2]) << i;
  }
  Recorder stopping;
  stopping.stopAt = 5;  // the number 1e2
  EXPECT_EQ(JsonWalk(text, static_cast<int>(std::strlen(text)), Recorder::On, &stopping), 10);
  Recorder scalar;  // the answer for a top-level value is ignored: it ends the walk anyway
  scalar.stopAt = 1;
  EXPECT_EQ(JsonWalk("\"s\"", 3, Recorder::On, &scalar), 3);
  EXPECT_EQ(scalar.tokens.size(), 1u);
}

TEST_P(JsonScanStringTest, FindsTheClosingQuoteAcrossBlockBoundaries) {
  EXPECT_EQ(JsonScanString("abc\"", 4), 3);
  EXPECT_EQ(JsonScanString("a\\\\\"", 4), 3);  // escaped backslash, then the quote
  EXPECT_EQ(JsonScanString("a\\n\"", 4), 3);   // other escapes do not move the end
  EXPECT_EQ(JsonScanString("abc\"", 3), -1);   // quote beyond the text
  EXPECT_EQ(JsonScanString("ab\\\"", 3), -1);  // backslash is the last byte
  // Every length and position around the 64-byte blocks: an escaped quote at
  // e, the closing quote at q, optionally a NUL before it.
  for (int q = 2; q < 140; ++q) {
    for (int e = 0; e + 1 < q; ++e) {
      std::string body(static_cast<size_t>(q), 'x');
      body[static_cast<size_t>(e)] = '\\';
      body[static_cast<size_t>(e) + 1] = '"';
      std::string closed = body + "\"yyyyyyyyyyyyyyyyyy";
      const int size = static_cast<int>(closed.size());
      ASSERT_EQ(JsonScanString(closed.c_str(), size), q) << q << " " << e;
      ASSERT_EQ(JsonScanString(closed.c_str(), q), -1) << q << " " << e;
      closed[static_cast<size_t>(q) - 1] = '\0';
      ASSERT_EQ(JsonScanString(closed.c_str(), size), -1) << q << " " << e;
    }
  }
  // The kernel itself on every byte value at every place of a block.
  for (int first = 0; first < 256 + 64; ++first) {
    char block[64];
    uint64_t expected = 0;
    for (int k = 0; k < 64; ++k) {
      block[k] = static_cast<char>((first + k * 5) & 255);
      if (IsStringStop(static_cast<unsigned char>(block[k]))) expected |= uint64_t{1} << k;
    }
    ASSERT_EQ(JsonStringStopsOfKernelInUse()(block), expected) << first;
  }
}

struct FindCase {
  const char* text;
  const char* path;
  int kind;
  const char* value;
};

TEST_P(JsonFindTest, YieldsKindAndExtent) {
  const char* nested = "{\"a\":{\"b\":[1,2]}}";
  const char* reply =
      "{\"response\":\"PASS\",\"responseMessage\":\"ok\",\"responseData\":{\"result\":true,"
      "\"key\":\"QUJD\",\"uploadKey\":\"REVG\"}}";
  const FindCase cases[] = {
      {"42", "$", 12, "42"},
      {"{\"a\":1}", "$", 123, "{\"a\":1}"},
      {"{\"a\":1}", "", 123, "{\"a\":1}"},
      {"{\"response\":\"PASS\"}", "$.response", 11, "\"PASS\""},
      {nested, "$.a", 123, "{\"b\":[1,2]}"},
      {nested, "$.a.b", 91, "[1,2]"},
      {nested, "$.a.b[0]", 12, "1"},
      {nested, "$.a.b[1]", 12, "2"},
      {nested, "$.a.b[2]", 0, nullptr},
      {nested, "$.a.b[-1]", 0, nullptr},
      {nested, "$.a.b[1.9]", 12, "2"},
      {nested, "$.a.c", 0, nullptr},
      {nested, "$.b", 0, nullptr},
      {nested, "$[0]", 0, nullptr},
      {"{\"a\":[{\"c\":1},{\"b\":2}]}", "$.a[0].b", 0, nullptr},
      {"{\"a\":[{\"c\":1},{\"b\":2}]}", "$.a[1].b", 12, "2"},
      {"[[1],[2,3]]", "$[1]", 91, "[2,3]"},
      {"[[1],[2,3]]", "$[1][1]", 12, "3"},
      {"[[1],[2,3]]", "$[0][1]", 0, nullptr},
      {"{\"a\":1,\"c\":2}", "$.a.b", 0, nullptr},
      {"{\"a\":{},\"a\":{\"b\":1}}", "$.a.b", 0, nullptr},
      {"{\"b\":{\"a\":1},\"a\":2}", "$.a", 12, "2"},
      {"{\"resp\":1,\"response\":2}", "$.response", 12, "2"},
      {"{\"response\":1}", "$.resp", 0, nullptr},
      {"{\"a.b\":7}", "$.a\\.b", 12, "7"},
      {"{\"a\\\\b\":7}", "$.a\\\\\\\\b", 12, "7"},
      {"{\"a[0]\":7}", "$.a\\[0]", 12, "7"},
      {"{\"a\\u0062\":1}", "$.ab", 0, nullptr},
      {"{\"a\":1}", "$.a\\", 0, nullptr},
      {"{\"\":5}", "$.", 12, "5"},
      {"{\"a\":1,]", "$.a", 12, "1"},  // found before the fault
      {"{\"a\":1,]", "$.b", -1, nullptr},
      {"[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]", "$[0]", -2, nullptr},
      {"{\"a\":\"x\\\"y\"}", "$.a", 11, "\"x\\\"y\""},
      {"{\"a\":false}", "$.a", 14, "false"},
      {"{\"a\":null}", "$.a", 15, "null"},
      {"{\"a\":[]}", "$.a", 91, "[]"},
      {"{\"a\":{}}", "$.a", 123, "{}"},
      {reply, "$.response", 11, "\"PASS\""},
      {reply, "$.responseMessage", 11, "\"ok\""},
      {reply, "$.responseData.result", 13, "true"},
      {reply, "$.responseData.key", 11, "\"QUJD\""},
      {reply, "$.responseData.uploadKey", 11, "\"REVG\""},
      {reply, "$.responseData.missing", 0, nullptr},
      {"{\"a.b\":1,\"a\":{\"b\":2}}", "$.a.b", 12, "2"},
      {"{\"a[0]\":1,\"a\":[3]}", "$.a[0]", 12, "3"},
      {"{\"ab\":1,\"abcd\":2,\"abc\":3}", "$.abc", 12, "3"},
      {"{\"n\":123456789012345678,\"a\":1}", "$.n", 12, "123456789012345678"},
  };
  for (const FindCase& c : cases) {
    const char sentinel[] = "untouched";
    const char* start = sentinel;
    int length = -7;
    const int kind = JsonFind(c.text, static_cast<int>(std::strlen(c.text)), c.path, &start, &length);
    EXPECT_EQ(kind, c.kind) << c.text << " " << c.path;
    if (c.value) {
      EXPECT_EQ(std::string(start, static_cast<size_t>(length)), c.value) << c.text << " " << c.path;
      EXPECT_GE(start, c.text);
    } else {
      EXPECT_EQ(start, sentinel) << c.text << " " << c.path;
      EXPECT_EQ(length, -7) << c.text << " " << c.path;
    }
    EXPECT_EQ(JsonFind(c.text, static_cast<int>(std::strlen(c.text)), c.path, nullptr, nullptr), c.kind);
  }
  // Numbers of 1 to 13 digits, signed or not, before each kind of follower.
  for (int digits = 1; digits <= 26; ++digits) {
    for (const char* after : {"]", " ]", ".5]", "e3]", "E-1]", ".]", "x]", "/]", ":]"}) {
      const std::string text =
          "[" + std::string(digits > 13, '-') + std::string("9876543210123", (digits - 1) % 13 + 1) + after;
      const char* end = nullptr;
      JsonParseNumber(text.c_str() + 1, &end);
      const int n = static_cast<int>(end - text.c_str()) - 1;
      int length = -1;
      EXPECT_EQ(JsonFind(text.c_str(), static_cast<int>(text.size()), "$[0]", nullptr, &length), 12) << text;
      EXPECT_EQ(length, n) << text;
    }
  }
}

TEST_P(JsonFindTest, ChecksTheContainersItPassesOver) {
  std::string deep = "{\"x\":";
  for (int i = 0; i < 19; ++i) deep += "[";
  const struct {
    std::string text;
    int kind;
  } cases[] = {
      {"{\"x\":[1,{\"y\":[true,null,\"s\"]},],\"a\":1}", 12},
      {"{\"x\":[1 2],\"a\":1}", -1},
      {"{\"x\":{\"y\" 1},\"a\":1}", -1},
      {"{\"x\":[1}],\"a\":1}", -1},
      {"{\"x\":[-],\"a\":1}", -1},
      {"{\"x\":[tru],\"a\":1}", -1},
      {"{\"x\":{\"y\":\"\\q\x01\"},\"a\":1}", 12},
      {deep + std::string(19, ']') + ",\"a\":1}", 12},
      {deep + "[" + std::string(20, ']') + ",\"a\":1}", -2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JsonFind(c.text.c_str(), static_cast<int>(c.text.size()), "$.a", nullptr, nullptr), c.kind) << c.text;
  }
  // Each sound or faulty piece at every place around the 64-byte blocks of a
  // container passed over, behind a string of every length, then of lengths
  // past 2 KB, with a kilobyte after the container: a kernel may classify
  // blocks in growing runs ahead of its walk.
  const std::string after = "],\"a\":1,\"z\":\"" + std::string(1100, 'z') + "\"}";
  const struct {
    const char* piece;
    bool sound;
  } pieces[] = {
      {"1.5", true},
      {"-20", true},
      {"1e5", true},
      {"1.5e", true},
      {"-.5", true},
      {"true", true},
      {"null", true},
      {"false", true},
      {"{\"k\":[1,{}]}", true},
      {" [ \"\\\\\" , 0 ] ", true},
      {"{\"k\":1,}", true},
      {"[1,]", true},
      {"1.", false},
      {"-", false},
      {"1.2.3", false},
      {"1-2", false},
      {"tru", false},
      {"nulls", false},
      {"{\"k\" 1}", false},
      {"{\"k\":1,,}", false},
      {"\"k\":1", false},
      {"{\"k\",1}", false},
      {"{1:2}", false},
      {"[}", false},
      {"\"\\\"", false},
      {"1\"\"", false},
  };
  for (const auto& p : pieces) {
    for (int n = 0; n < 2200; n += n < 140 ? 1 : 61) {
      const std::string head = "{\"x\":[\"" + std::string(static_cast<size_t>(n), 'v') + "\"," + p.piece;
      const std::string text = head + after;
      const int size = static_cast<int>(text.size());
      ASSERT_EQ(JsonFind(text.c_str(), size, "$.a", nullptr, nullptr), p.sound ? 12 : -1) << text;
      // A kernel's own check vouches for every sound container: none is left
      // to the token-by-token check.
      const JsonCheckContainerFn check = JsonCheckContainerOfKernelInUse();
      if (p.sound && check != nullptr) {
        ASSERT_EQ(check(text.c_str(), size, 6, false, JsonMaxDepth - 2), static_cast<int>(head.size())) << text;
      }
    }
  }
  // Strings of every length around the 64-byte scanning blocks, with an
  // escaped quote or backslash anywhere, passed over and found.
  for (int n = 0; n < 150; ++n) {
    for (int e = -1; e + 1 < n; e += 7) {
      std::string value(static_cast<size_t>(n), 'v');
      if (e >= 0) value.replace(static_cast<size_t>(e), 2, e % 2 ? "\\\"" : "\\\\");
      const std::string text = "{\"skip\":[\"" + value + "\"],\"k\":\"" + value + "\",\"a\":1}";
      const int length = static_cast<int>(text.size());
      const char* start = nullptr;
      int extent = 0;
      ASSERT_EQ(JsonFind(text.c_str(), length, "$.k", &start, &extent), 11) << text;
      ASSERT_EQ(std::string(start, static_cast<size_t>(extent)), "\"" + value + "\"");
      ASSERT_EQ(JsonFind(text.c_str(), length, "$.a", nullptr, nullptr), 12) << text;
    }
  }
}

TEST_P(JsonFindTest, StopsAtTheValueWithoutReadingFurther) {
  // Only "$.a" lies within the length; what follows would be malformed.
  const char* text = "{\"a\":1,\"b\":[}";
  const char* start = nullptr;
  int length = 0;
  EXPECT_EQ(JsonFind(text, 7, "$.a", &start, &length), 12);
  EXPECT_EQ(start, text + 5);
  EXPECT_EQ(JsonWalk(text, 13, nullptr, nullptr), -1);
}

INSTANTIATE_TEST_SUITE_P(Kernels, JsonWalkTest, testing::Range(0, int{JsonScanKernelCount}), KernelName);
INSTANTIATE_TEST_SUITE_P(Kernels, JsonScanStringTest, testing::Range(0, int{JsonScanKernelCount}), KernelName);
INSTANTIATE_TEST_SUITE_P(Kernels, JsonFindTest, testing::Range(0, int{JsonScanKernelCount}), KernelName);

}  // namespace
