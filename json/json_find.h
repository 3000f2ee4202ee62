// Finds one value by path in a JSON text without building a tree and without
// allocating. A single-pass scanner reports tokens to a callback; the lookup
// drives it with a path matcher that stops as soon as the value is found or
// known to be absent.
//
// Texts are passed as a pointer and a length and must be NUL-terminated at or
// after that length (a number is read up to the first byte that cannot
// continue it, regardless of the length).
//
// Results: 0 or more on success; -1 malformed text (or text that ends before
// the top-level value is complete); -2 containers nested deeper than
// JsonMaxDepth.
#pragma once

// Punctuation tokens use their own byte as code; each closing code is its
// opening code + 2, and scalar value kinds lie in 11..15 (11..19 reserved).
enum class JsonTokenKind : int {
  Key = 1,
  String = 11,
  Number = 12,
  True = 13,
  False = 14,
  Null = 15,
  Array = 91,
  Object = 123,
  ArrayEnd = 93,
  ObjectEnd = 125,
  Comma = 44,
  Colon = 58
};

constexpr int JsonMaxDepth = 20;

// Called once per token: (kind, text, start index of the token, token length
// in bytes, context). Returns 0 to go on, anything else to stop the scan.
typedef int (*JsonTokenFn)(int kind, const char* text, int start, int length, void* context);

// The path matcher's record; JsonFind sets it up afresh for every lookup.
struct JsonFindState {
  const char* path;       // NUL-terminated; path[0] is the root marker ("$")
  int pathPos;            // first step not yet matched (starts at 1)
  int depth;              // containers open at the current token
  int matchedDepth;       // path steps matched so far
  int arrayIndex;         // current element of the array being searched
  int wantedIndex;        // element asked for by the last index step met
  int containerStart;     // opening bracket of the last container opened at
                          // matchedDepth, or -1
  const char** outStart;  // may be null
  int* outLength;         // may be null
  int foundKind;          // JsonTokenKind of the value found, 0 while none
};

// Scans text[0..length) and calls onToken for every token in text order.
// Returns the index just past the last token handled when the top-level value
// is complete or onToken asked to stop; -1 malformed or incomplete; -2 too
// deep. A null onToken only checks the text.
int JsonWalk(const char* text, int length, JsonTokenFn onToken, void* context);

// body points just past an opening quote; remaining is the number of bytes
// left in the text. Returns the index of the closing quote, or -1 (no closing
// quote within remaining, or a NUL byte first).
int JsonScanString(const char* body, int remaining);

// The JsonTokenFn used by JsonFind; context is a JsonFindState*.
int JsonFindStep(int kind, const char* text, int start, int length, void* state);

// Looks up path ("$", "$.a.b", "$.a[2].c", a backslash escapes the next path
// byte in a name). Returns the kind of the value found (11..15, 91 or 123), 0
// when absent, or the walk's negative result. outStart/outLength (each may be
// null) are written only when the value is found; a String's extent includes
// both quotes. A null or empty path selects the top-level value, like "$".
int JsonFind(const char* text, int length, const char* path, const char** outStart, int* outLength);
