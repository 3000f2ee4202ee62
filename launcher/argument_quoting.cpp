#include "launcher/argument_quoting.h"

namespace {

// Blanks separate arguments; a quote would start quoting; an empty argument
// vanishes unless quoted. Newline and vertical tab are quoted to be safe.
bool NeedsQuotes(const WideChar* argument) {
  if (*argument == 0) return true;
  for (const WideChar* p = argument; *p != 0; ++p) {
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '"') return true;
  }
  return false;
}

// Writes one character if there is room for it and a terminator.
bool Put(WideChar* text, int capacity, int& length, WideChar c) {
  if (length + 1 >= capacity) return false;
  text[length++] = c;
  return true;
}

bool PutRepeated(WideChar* text, int capacity, int& length, WideChar c, int count) {
  for (int i = 0; i < count; ++i) {
    if (!Put(text, capacity, length, c)) return false;
  }
  return true;
}

// Quoting by the rules CommandLineToArgvW reads back: backslashes are
// literal unless they precede a quote, so those (and the closing quote's)
// are doubled, and every quote gets a backslash of its own.
bool PutQuoted(WideChar* text, int capacity, int& length, const WideChar* argument) {
  if (!Put(text, capacity, length, '"')) return false;
  for (const WideChar* p = argument;; ++p) {
    int backslashes = 0;
    while (*p == '\\') {
      ++backslashes;
      ++p;
    }
    if (*p == 0) {
      return PutRepeated(text, capacity, length, '\\', backslashes * 2) && Put(text, capacity, length, '"');
    }
    if (*p == '"') {
      if (!PutRepeated(text, capacity, length, '\\', backslashes * 2 + 1)) return false;
    } else if (!PutRepeated(text, capacity, length, '\\', backslashes)) {
      return false;
    }
    if (!Put(text, capacity, length, *p)) return false;
  }
}

bool PutPlain(WideChar* text, int capacity, int& length, const WideChar* argument) {
  for (const WideChar* p = argument; *p != 0; ++p) {
    if (!Put(text, capacity, length, *p)) return false;
  }
  return true;
}

}  // namespace

bool AppendQuotedArgument(WideChar* text, int capacity, int& length, const WideChar* argument) {
  if (length < 0 || length >= capacity) return false;  // no room even for the terminator it has
  const int before = length;
  const bool fitted = (NeedsQuotes(argument) ? PutQuoted(text, capacity, length, argument)
                                             : PutPlain(text, capacity, length, argument)) &&
                      Put(text, capacity, length, ' ');
  if (!fitted) length = before;
  text[length] = 0;
  return fitted;
}

// Reads the text back by the rules PutQuoted writes it by: a quote after an
// even run of backslashes opens or closes quoting, and a space outside
// quotes ends an argument.
int WholeArgumentsLength(const WideChar* text, int limit) {
  int whole = 0;
  bool quoted = false;
  int backslashes = 0;
  for (int i = 0; i < limit && text[i] != 0; ++i) {
    if (text[i] == '"' && backslashes % 2 == 0) quoted = !quoted;
    if (text[i] == ' ' && !quoted) whole = i + 1;
    backslashes = text[i] == '\\' ? backslashes + 1 : 0;
  }
  return whole;
}
