// Decoders for values found in a JSON text: string bodies, base64 text and
// numbers. Nothing is allocated; output goes to the caller's fixed buffer.
#pragma once

// Size of every output buffer: at most 4095 decoded bytes and a NUL.
constexpr int JsonValueBufferSize = 4096;

// Decodes a JSON string body (without its quotes) into out
// (JsonValueBufferSize bytes). Returns the number of bytes decoded, followed by
// a NUL, or -1 for a bad escape or output that does not fit (out then holds
// the bytes written so far, without a NUL). "\u" escapes give one byte and are
// accepted only from 0000 to 00FF.
int JsonUnescape(const char* body, int length, char* out);

// Decodes base64 text (standard alphabet, "=" fill) into out
// (JsonValueBufferSize bytes). Returns the number of bytes decoded, followed
// by a NUL, or -1 when they do not fit. A trailing partial group is ignored;
// bytes outside the alphabet decode without complaint.
int JsonBase64Decode(const char* text, int length, char* out);

// Reads a number at text ([+-]digits[.digits][(e|E)[-][+]digits]); text must
// be NUL-terminated or followed by a byte that cannot continue a number. If
// end is not null it receives the first byte after the number, or text itself
// when there is no number (also for a sign alone or a number ending in ".").
double JsonParseNumber(const char* text, const char** end);
