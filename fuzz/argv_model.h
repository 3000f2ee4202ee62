// A plain model of how CommandLineToArgvW splits a command line, shared by
// the quoting fuzz target and the Windows test that holds it against the real
// function.
//
// The program name ends at the next quote when it begins with one (a path
// holds no quotes, so nothing is escaped in it), otherwise at the first blank;
// a line that begins with a blank has an empty program name. Then, argument
// by argument, blanks (space, tab) outside quoted text separate arguments and
// trailing blanks end the line:
//   - 2n backslashes and a quote give n backslashes, and the quote starts or
//     ends quoted text;
//   - 2n + 1 backslashes and a quote give n backslashes and a literal quote;
//   - backslashes not before a quote are literal;
//   - inside quoted text, two quotes give one literal quote and end the
//     quoted text (Windows' own reading; the handed-on text never holds it);
//   - an unfinished quoted text runs to the end of the line.
#pragma once

#include <string>
#include <vector>

#include "sys/wide_char.h"

namespace argv_model {

typedef std::basic_string<WideChar> Text;

inline bool IsBlank(WideChar c) { return c == ' ' || c == '\t'; }

inline Text ProgramName(const Text& line, size_t& i) {
  Text name;
  if (!line.empty() && line[0] == '"') {
    for (i = 1; i < line.size() && line[i] != '"'; ++i) name += line[i];
    if (i < line.size()) ++i;
    return name;
  }
  for (i = 0; i < line.size() && !IsBlank(line[i]); ++i) name += line[i];
  return name;
}

// An empty line is not modelled: the real function then names the running
// program.
inline std::vector<Text> Split(const Text& line) {
  size_t i = 0;
  std::vector<Text> args = {ProgramName(line, i)};
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size()) return args;
    Text arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i == line.size() || line[i] != '"') {
        arg.append(backslashes, '\\');
        if (backslashes == 0) arg += line[i++];
        continue;
      }
      arg.append(backslashes / 2, '\\');
      ++i;  // the quote
      if (backslashes % 2 == 1) {
        arg += '"';
      } else if (quoted && i < line.size() && line[i] == '"') {
        arg += '"';
        ++i;
        quoted = false;
      } else {
        quoted = !quoted;
      }
    }
    args.push_back(arg);
  }
}

}  // namespace argv_model
