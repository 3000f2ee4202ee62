// AppendQuotedArgument over arbitrary argument lists, handed on as the
// command line does it: each argument in turn until one does not fit, and
// none after that. The client's command line (its quoted path, a space, the
// handed-on text) split by the CommandLineToArgvW model must give back
// exactly the arguments handed on, and an argument is dropped only when it
// does not fit. Input: two bytes choose the buffer's capacity, the rest are
// the arguments as read by ReadWideTexts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/argv_model.h"
#include "fuzz/wide_input.h"
#include "launcher/argument_quoting.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

WideText Ascii(const char* text) { return WideText(text, text + std::strlen(text)); }

// Characters the argument takes with its quoting and space.
int QuotedSize(const WideText& argument) {
  std::vector<WideChar> ample(argument.size() * 2 + 4);
  int length = 0;
  Require(AppendQuotedArgument(ample.data(), static_cast<int>(ample.size()), length, argument.c_str()));
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 8192) return 0;
  const int capacity = 1 + (data[0] << 8 | data[1]) % static_cast<int>(4 * size + 16);
  const std::vector<WideText> arguments = ReadWideTexts(data + 2, size - 2, 64);

  // Exactly `capacity` characters, so that a write past them is caught.
  std::unique_ptr<WideChar[]> text(new WideChar[capacity]);
  text[0] = 0;
  int length = 0;
  size_t handedOn = 0;
  bool dropping = false;
  for (const WideText& argument : arguments) {
    if (dropping) break;
    const WideText before(text.get(), static_cast<size_t>(length));
    const int lengthBefore = length;
    const int needed = QuotedSize(argument);
    if (AppendQuotedArgument(text.get(), capacity, length, argument.c_str())) {
      Require(length == lengthBefore + needed && length < capacity);
      ++handedOn;
    } else {
      Require(lengthBefore + needed >= capacity);  // it really does not fit
      Require(length == lengthBefore && WideText(text.get(), static_cast<size_t>(length)) == before);
      dropping = true;
    }
    Require(text[length] == 0);
  }

  const WideText program = Ascii("C:\\ProgramData\\Verdanto\\RudAvuvav\\1.0.0\\rudavuvav.exe");
  const WideText line = Ascii("\"") + program + Ascii("\" ") + WideText(text.get(), static_cast<size_t>(length));
  const std::vector<WideText> received = argv_model::Split(line);
  Require(!received.empty() && received[0] == program);
  Require(received.size() == handedOn + 1);
  for (size_t i = 0; i < handedOn; ++i) Require(received[i + 1] == arguments[i]);
  return 0;
}
