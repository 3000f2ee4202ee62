// JsonParseNumber on arbitrary texts: the same value (bit for bit) and end as
// the one-step-at-a-time reference, and the scanner's end-only reader agrees.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/json_reference.h"
#include "json/json_decode.h"
#include "json/json_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  std::unique_ptr<char[]> text(new char[size + 1]);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';
  const char* end = nullptr;
  const char* expectedEnd = nullptr;
  const double value = JsonParseNumber(text.get(), &end);
  const double expected = reference::ParseNumber(text.get(), &expectedEnd);
  if (end != expectedEnd || std::memcmp(&value, &expected, sizeof value) != 0) std::abort();
  if (JsonNumberEnd(text.get()) != end) std::abort();
  if (JsonParseNumber(text.get(), nullptr) != value && value == value) std::abort();
  return 0;
}
