// The writer's value printers and directive engine with arbitrary values,
// precisions, byte strings, buffer sizes and directive-free formats. Checks
// bounds, termination, sink call counts and that what is written reads back.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "json/json_decode.h"
#include "json/json_find.h"
#include "json/json_print.h"
#include "tests/json/counting_sink.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckDouble(double value, int precision) {
  Counting sink;
  const int sum = JsonPrintDouble(Counting::Write, &sink, value, precision);
  Require(sink.calls == 1 && sum == static_cast<int>(sink.text.size()));
  const std::string& text = sink.text;
  Require(!text.empty() && text.size() <= 45);
  if (std::isnan(value)) {
    Require(text == "nan");
    return;
  }
  Require(text.find_first_not_of("-0123456789.e+") == std::string::npos || text == "inf" || text == "-inf");
  const int p = precision < 1 ? 1 : precision > 33 ? 33 : precision;
  const long double back = std::strtold(text.c_str(), nullptr);
  const long double magnitude = std::fabs(static_cast<long double>(value));
  // Fixed notation below 1 keeps only p places after the point; elsewhere
  // the text holds p significant digits, rounded half up.
  if (std::isfinite(value) && value != 0 && (magnitude >= 1 || text.find('e') != std::string::npos)) {
    const long double tolerance = std::pow(10.0L, 1 - (p < 12 ? p : 12));
    Require(std::fabs(back - value) <= magnitude * tolerance);
  }
}

void CheckInt(int value) {
  char expected[32];
  for (bool isSigned : {true, false}) {
    Counting sink;
    JsonPrintInt(Counting::Write, &sink, value, isSigned);
    std::snprintf(expected, sizeof expected, isSigned ? "%d" : "%u", value);
    Require(sink.calls == 1 && sink.text == expected);
  }
}

void CheckBytes(const std::vector<char>& bytes, int size) {
  const int count = static_cast<int>(bytes.size());
  std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(size > 0 ? size : 1)]);
  for (const char* format : {"%.*Q", "%.*s", "%V", "%H"}) {
    buffer[0] = 'x';
    const int stored = JsonPrintf(buffer.get(), size, format, count, bytes.data());
    if (size < 1) {
      Require(stored == 0 && buffer[0] == 'x');
      continue;
    }
    // Writing nothing ("%.*s" of no bytes at all) leaves the buffer as it was.
    Require(stored >= 0 && stored <= size - 1 && (buffer[stored] == '\0' || (stored == 0 && buffer[0] == 'x')));
  }
  // Read back what fits a large buffer.
  std::vector<char> large(4 * bytes.size() + 8);
  const int big = static_cast<int>(large.size());
  char decoded[JsonValueBufferSize];
  int n = JsonPrintf(large.data(), big, "%.*Q", count, bytes.data());
  if (bytes.empty() || std::memchr(bytes.data(), 0, bytes.size()) == nullptr) {
    Require(JsonScanString(large.data() + 1, n - 1) == n - 2);
    if (count < JsonValueBufferSize) {
      Require(JsonUnescape(large.data() + 1, n - 2, decoded) == count);
      Require(bytes.empty() || std::memcmp(decoded, bytes.data(), bytes.size()) == 0);
    }
  }
  n = JsonPrintf(large.data(), big, "%V", count, bytes.data());
  if (count < JsonValueBufferSize) {
    Require(JsonBase64Decode(large.data() + 1, n - 2, decoded) == count);
    Require(bytes.empty() || std::memcmp(decoded, bytes.data(), bytes.size()) == 0);
  }
  n = JsonPrintf(large.data(), big, "%H", count, bytes.data());
  Require(n == 2 * count + 2);
  for (int k = 0; k < count; ++k) {
    unsigned value = 0;
    Require(std::sscanf(large.data() + 1 + 2 * k, "%2x", &value) == 1);
    Require(value == static_cast<unsigned char>(bytes[static_cast<size_t>(k)]));
  }
}

int Engine(Counting* sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int sum = JsonVPrintf(Counting::Write, sink, format, &args);
  va_end(args);
  return sum;
}

// A format with no directive that takes an argument writes its plain bytes
// only, one sink call each.
void CheckPlainFormat(std::string format) {
  format.resize(std::strlen(format.c_str()));
  for (size_t k = 0; k + 1 < format.size(); ++k) {
    if (format[k] == '%' && std::strchr("QduBsgVHMl.", format[k + 1]) != nullptr) format[k + 1] = 'x';
  }
  std::string expected;
  for (size_t k = 0; k < format.size(); ++k) {
    if (format[k] != '%') {
      expected += format[k];
    } else if (++k >= format.size()) {
      break;
    }
  }
  Counting sink;
  Require(Engine(&sink, format.c_str()) == static_cast<int>(expected.size()));
  Require(sink.text == expected && sink.calls == static_cast<int>(expected.size()));
  char buffer[256];
  const int stored = JsonPrintf(buffer, sizeof buffer, format.c_str());
  Require(stored == static_cast<int>(expected.size() < sizeof buffer ? expected.size() : sizeof buffer - 1));
  Require(std::memcmp(buffer, expected.data(), static_cast<size_t>(stored)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  double value = 0;
  const std::vector<uint8_t> raw = provider.ConsumeBytes<uint8_t>(sizeof value);
  if (raw.size() == sizeof value) std::memcpy(&value, raw.data(), sizeof value);
  const int precision = provider.ConsumeIntegralInRange<int>(-40, 40);
  CheckDouble(value, 6);
  CheckDouble(value, precision);
  CheckDouble(-value, provider.ConsumeIntegral<int>());
  CheckInt(provider.ConsumeIntegral<int>());
  const int bufferSize = provider.ConsumeIntegralInRange<int>(-2, 300);
  const std::string format = provider.ConsumeRandomLengthString(512);
  const std::vector<char> bytes = provider.ConsumeBytes<char>(provider.ConsumeIntegralInRange<size_t>(0, 5000));
  CheckBytes(bytes, bufferSize);
  CheckPlainFormat(format);
  return 0;
}
