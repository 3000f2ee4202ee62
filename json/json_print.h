// A printf-like writer for JSON text. Directives:
//   %Q  const char* (null writes "")    quoted, escaped string
//   %.*Q int count, const char*          count bytes, quoted and escaped
//   %d %ld / %u %lu  int                 signed / unsigned 32-bit decimal
//   %B  int                              true / false
//   %s  const char*                      bytes as they stand (null: nothing)
//   %.*s int count, const char*          count bytes as they stand
//                                        (negative count or null: nothing)
//   %g  double                           6 significant digits
//   %.*g int precision, double           precision clamped to 1..33
//   %V  int count, const void*           base64 between quotes
//   %H  int count, const void*           lower-case hex between quotes
//   %M  JsonPrintCallback, then its own arguments
// Any other byte after "%" (and "%%") writes nothing and takes no argument.
// "%l" followed by any letter stands for that letter's directive.
// Nothing is allocated and no error is reported; output that does not fit a
// fixed buffer is dropped.
#pragma once

#include <cstdarg>

// Output sink: takes count bytes (not NUL-terminated); returns bytes taken.
typedef int (*JsonWriteFn)(const char* bytes, int count, void* context);

// Context of JsonWriteFixedBuffer. length never exceeds size - 1.
struct JsonFixedBuffer {
  char* buffer;
  int size;    // room for the NUL included
  int length;  // bytes stored so far
};

// Writer behind "%M": writes through sink and may take further arguments from
// *args. Returns the sum of the sink results.
typedef int (*JsonPrintCallback)(JsonWriteFn sink, void* sinkContext, va_list* args);

// Sink that stores into a JsonFixedBuffer (context), always leaving the
// buffer NUL-terminated. Returns the bytes stored by this call; stores
// nothing for a null buffer, a size below 1 or a negative count.
int JsonWriteFixedBuffer(const char* bytes, int count, void* context);

// The directive engine. Returns the sum of all sink results.
int JsonVPrintf(JsonWriteFn sink, void* sinkContext, const char* format, va_list* args);

// Writes into buffer (size bytes, NUL included). Returns the bytes stored, NUL
// not counted. A null buffer or a size below 1 stores nothing and returns 0.
int JsonPrintf(char* buffer, int size, const char* format, ...);

// Quoted string: quote, each byte (escaped as \b \f \n \r \t \\ \" where
// needed, one sink call per byte or escape character), quote.
int JsonPrintQuoted(JsonWriteFn sink, void* sinkContext, const char* bytes, int count);

// Decimal integer, one sink call. isSigned false reads the 32 bits unsigned.
int JsonPrintInt(JsonWriteFn sink, void* sinkContext, int value, bool isSigned);

// Number with precision significant digits (clamped to 1..33), in fixed or
// scientific notation, without trailing zeros; "inf", "-inf", "nan". One sink
// call.
int JsonPrintDouble(JsonWriteFn sink, void* sinkContext, double value, int precision);

// Writes "e", sign and at least two digits of magnitude (0..400) to dest
// (5 bytes). Returns the characters written (4 or 5), or 0 when the magnitude
// is out of range.
int JsonAppendExponent(char* dest, int magnitude, char sign);
