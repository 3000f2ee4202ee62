// JsonFind, JsonWalk and JsonFindStep on arbitrary texts and paths, checked
// against the reference model. Input: a path, a NUL byte, then the text;
// without a NUL byte the whole input is the text, looked up with the program's
// own paths. Every check runs once with each scanning kernel that this
// machine can run.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/json_reference.h"
#include "json/json_find.h"
#include "json/json_scan.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckFind(const char* text, int length, const char* path) {
  static const char sentinel[] = "untouched";
  const char* start = sentinel;
  int n = -7;
  const int kind = JsonFind(text, length, path, &start, &n);
  const char* expectedStart = sentinel;
  int expectedLength = -7;
  Require(kind == reference::Find(text, length, path, &expectedStart, &expectedLength));
  Require(start == expectedStart && n == expectedLength);
  Require(JsonFind(text, length, path, nullptr, nullptr) == kind);

  // The public matcher driven by the public scanner gives the same answer.
  const char* stepStart = sentinel;
  int stepLength = -7;
  JsonFindState state{path[0] ? path : "$", 1, 0, 0, 0, 0, -1, &stepStart, &stepLength, 0};
  const int walked = JsonWalk(text, length, JsonFindStep, &state);
  Require((walked < 0 ? walked : state.foundKind) == kind);
  Require(stepStart == start && stepLength == n);
}

struct Token {
  int kind, start, length;
  bool operator==(const Token& o) const { return kind == o.kind && start == o.start && length == o.length; }
};

struct Recorder {
  std::vector<Token> tokens;
  size_t stopAt;
  static int On(int kind, const char*, int start, int length, void* self) {
    Recorder* r = static_cast<Recorder*>(self);
    r->tokens.push_back({kind, start, length});
    return r->tokens.size() == r->stopAt ? 1 : 0;
  }
};

void CheckWalk(const char* text, int length, size_t stopAt) {
  Recorder real{{}, stopAt};
  const int walked = JsonWalk(text, length, Recorder::On, &real);
  std::vector<Token> expected;
  const int expectedWalk = reference::Walk(text, length, [&](int kind, int start, int n) {
    expected.push_back({kind, start, n});
    return expected.size() == stopAt ? 1 : 0;
  });
  Require(walked == expectedWalk);
  Require(real.tokens == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  std::string path;
  const uint8_t* body = data;
  size_t bodySize = size;
  if (nul) {
    path.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(nul - data));
    body = nul + 1;
    bodySize = size - static_cast<size_t>(body - data);
  }
  // An exact-size copy with its terminating NUL, so that any read past it is
  // caught.
  std::unique_ptr<char[]> text(new char[bodySize + 1]);
  std::memcpy(text.get(), body, bodySize);
  text[bodySize] = '\0';
  const int length = static_cast<int>(bodySize);

  static const char* const ProgramPaths[] = {"$.responseData.result",    "$.response",        "$.responseData.key",
                                             "$.responseData.uploadKey", "$.responseMessage", "$"};
  for (int kernel = 0; kernel < JsonScanKernelCount; ++kernel) {
    if (JsonUseScanKernel(kernel) != 0) continue;
    for (int cut : {length, length / 2}) {
      if (nul) {
        CheckFind(text.get(), cut, path.c_str());
      } else {
        for (const char* p : ProgramPaths) CheckFind(text.get(), cut, p);
      }
    }
    CheckWalk(text.get(), length, ~size_t{0});
    CheckWalk(text.get(), length, 1 + size % 7);
    Require(JsonWalk(text.get(), length, nullptr, nullptr) ==
            reference::Walk(text.get(), length, [](int, int, int) { return 0; }));
  }
  return 0;
}
