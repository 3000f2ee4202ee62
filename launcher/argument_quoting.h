#pragma once
// Quoting of the arguments handed on to the client; needs no Windows header.
#include "sys/wide_char.h"

// Appends `argument` and a space to the text of `length` characters in a
// buffer of `capacity`, quoted and escaped for CommandLineToArgvW. Returns
// false, leaving the text unchanged, when it does not fit.
bool AppendQuotedArgument(WideChar* text, int capacity, int& length, const WideChar* argument);

// Length of the longest start of `text`, a run of arguments as
// AppendQuotedArgument writes them, that ends after a whole argument and its
// space and takes at most `limit` characters.
int WholeArgumentsLength(const WideChar* text, int limit);
