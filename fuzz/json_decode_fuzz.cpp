// JsonUnescape and JsonBase64Decode on arbitrary bodies, checked against the
// reference model, into buffers of exactly JsonValueBufferSize bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/json_reference.h"
#include "json/json_decode.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void Compare(int result, int expected, const char* out, const char* expectedOut) {
  Require(result == expected);
  Require(result >= -1 && result < JsonValueBufferSize);
  if (result >= 0) Require(std::memcmp(out, expectedOut, static_cast<size_t>(result) + 1) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  std::unique_ptr<char[]> in(new char[size ? size : 1]);
  std::memcpy(in.get(), data, size);
  const int length = static_cast<int>(size);
  std::unique_ptr<char[]> out(new char[JsonValueBufferSize]);
  std::unique_ptr<char[]> expected(new char[JsonValueBufferSize]);

  Compare(JsonUnescape(in.get(), length, out.get()), reference::Unescape(in.get(), length, expected.get()), out.get(),
          expected.get());
  Compare(JsonBase64Decode(in.get(), length, out.get()), reference::Base64Decode(in.get(), length, expected.get()),
          out.get(), expected.get());
  return 0;
}
