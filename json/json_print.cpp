#include "json/json_print.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

constexpr char DecimalDigits[] = "0123456789";
constexpr char HexDigits[] = "0123456789abcdef";
constexpr char Base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A number's text is laid out within this many bytes (NUL included); the
// exponent of scientific notation may follow the mantissa beyond it.
constexpr int NumberTextLimit = 40;
constexpr int NumberWorkArea = 48;
constexpr int MinPrecision = 1;
constexpr int MaxPrecision = 33;

int Emit(JsonWriteFn sink, void* context, const char* bytes, int count) { return sink(bytes, count, context); }

// Returns the letter that follows the backslash when b must be escaped, else 0.
char EscapeLetter(unsigned char b) {
  switch (b) {
    case 0x08:
      return 'b';
    case 0x0C:
      return 'f';
    case 0x0A:
      return 'n';
    case 0x0D:
      return 'r';
    case 0x09:
      return 't';
    case 0x5C:
      return '\\';
    case 0x22:
      return '"';
    default:
      return 0;
  }
}

// Truncated quotient, kept to a digit even when rounding noise pushes it out.
int DigitOf(double quotient) {
  double q = std::trunc(quotient);
  if (!(q >= 0.0)) return 0;
  if (q > 9.0) return 9;
  return static_cast<int>(q);
}

// Where the rounded magnitude lies: rounded = a plus half a unit of the
// p-th significant digit; d = 10^e with e its decimal exponent, both found by
// repeated steps of 10 so that results do not depend on pow().
struct Layout {
  double rounded;
  double d;
  int e;
};

bool LayOut(double a, int p, Layout* out) {
  double m = 1.0;
  if (a >= 10.0) {
    while (a / m >= 10.0) m *= 10.0;
  }
  if (a <= 1.0) {
    while (a / m <= 1.0) m /= 10.0;
  }
  double t = m * 5.0;
  for (int i = 0; i < p; ++i) t /= 10.0;
  double rounded = a + t;
  double d = 1.0;
  int e = 0;
  if (rounded >= 10.0) {
    while (rounded / d >= 10.0) {
      d *= 10.0;
      ++e;
    }
  }
  if (rounded < 1.0) {
    while (rounded / d < 1.0) {
      d /= 10.0;
      --e;
    }
  }
  *out = Layout{rounded, d, e};
  // Near the ends of the double range a power of ten overflows or vanishes.
  return std::isfinite(t) && std::isfinite(rounded) && d != 0.0 && std::isfinite(d);
}

int FormatNumber(char* out, int limit, double x, int p, int nesting);

// Fixed notation of the rounded magnitude after any sign already in out.
int FormatFixed(char* out, int len, int limit, double a, double d, int p) {
  int digits = 0;
  if (d >= 1.0) {
    while (d >= 1.0 && len < limit) {
      int q = DigitOf(a / d);
      if (digits > 0 || q != 0) {
        out[len++] = DecimalDigits[q];
        ++digits;
      }
      a -= q * d;
      d /= 10.0;
    }
  }
  if (digits == 0) out[len++] = '0';
  bool point = false;
  if (len < limit) {
    out[len++] = '.';
    point = true;
  }
  double u = 0.1;
  while (len < limit && digits < p) {
    int q = DigitOf(a / u);
    out[len++] = DecimalDigits[q];
    ++digits;
    a -= q * u;
    u /= 10.0;
  }
  if (point) {
    while (out[len - 1] == '0') --len;
    if (out[len - 1] == '.') --len;
  }
  return len;
}

// Writes the text of x into out (NumberWorkArea bytes); the text proper is
// kept shorter than limit bytes. Returns its length.
int FormatNumber(char* out, int limit, double x, int p, int nesting) {
  if (x == 0.0) {
    out[0] = '0';
    return 1;
  }
  if (std::isnan(x)) {
    std::memcpy(out, "nan", 3);
    return 3;
  }
  if (std::isinf(x)) {
    if (x > 0) {
      std::memcpy(out, "inf", 3);
      return 3;
    }
    std::memcpy(out, "-inf", 4);
    return 4;
  }
  int len = 0;
  double a = x;
  if (x < 0) {
    out[len++] = '-';
    a = -x;
  }
  // Powers of ten of subnormal size are too coarse, and from 1e308 up they
  // overflow: such magnitudes are laid out twenty decades higher or one
  // decade lower, and the exponent is corrected.
  double scaled = a;
  int shift = 0;
  if (a < DBL_MIN) {
    scaled = a * 1e20;
    shift = -20;
  }
  Layout layout;
  if (!LayOut(scaled, p, &layout)) {
    scaled = a / 10.0;
    shift = 1;
    LayOut(scaled, p, &layout);
  }
  const int e = layout.e + shift;
  // A mantissa rounds to about 1 and takes fixed notation; the nesting bound
  // only guards against rounding noise.
  if (nesting < 2 && (e >= p || e <= -p)) {
    JsonFixedBuffer mantissaArea{out + len, limit - len, 0};
    char mantissa[NumberWorkArea];
    int mantissaLength = FormatNumber(mantissa, NumberTextLimit, scaled / layout.d, p, nesting + 1);
    JsonWriteFixedBuffer(mantissa, mantissaLength, &mantissaArea);
    len += mantissaArea.length;
    len += JsonAppendExponent(out + len, e >= 0 ? e : -e, e >= 0 ? '+' : '-');
    return len;
  }
  return FormatFixed(out, len, limit, layout.rounded, layout.d, p);
}

int ClampPrecision(int p) {
  if (p < MinPrecision) return MinPrecision;
  if (p > MaxPrecision) return MaxPrecision;
  return p;
}

int PrintBase64(JsonWriteFn sink, void* context, const unsigned char* bytes, int count) {
  int sum = Emit(sink, context, "\"", 1);
  for (int i = 0; bytes && i < count; i += 3) {
    const int left = count - i;
    const unsigned b1 = bytes[i];
    const unsigned b2 = left > 1 ? bytes[i + 1] : 0u;
    const unsigned b3 = left > 2 ? bytes[i + 2] : 0u;
    char group[4] = {Base64Alphabet[b1 >> 2], Base64Alphabet[((b1 & 3u) << 4) | (b2 >> 4)],
                     Base64Alphabet[((b2 & 15u) << 2) | (b3 >> 6)], Base64Alphabet[b3 & 63u]};
    if (left < 3) group[3] = '=';
    if (left < 2) group[2] = '=';
    sum += Emit(sink, context, group, 4);
  }
  return sum + Emit(sink, context, "\"", 1);
}

int PrintHex(JsonWriteFn sink, void* context, const unsigned char* bytes, int count) {
  int sum = Emit(sink, context, "\"", 1);
  for (int i = 0; bytes && i < count; ++i) {
    sum += Emit(sink, context, &HexDigits[bytes[i] >> 4], 1);
    sum += Emit(sink, context, &HexDigits[bytes[i] & 15u], 1);
  }
  return sum + Emit(sink, context, "\"", 1);
}

int PrintBoolean(JsonWriteFn sink, void* context, int value) {
  return value ? Emit(sink, context, "true", 4) : Emit(sink, context, "false", 5);
}

// Bytes as they stand, one sink call; a null text or a negative count
// writes nothing.
int PrintRaw(JsonWriteFn sink, void* context, const char* text, int count) {
  if (text == nullptr || count < 0) return 0;
  return Emit(sink, context, text, count);
}

bool DirectiveWithCount(const char* percent, char letter) {
  return percent[1] == '.' && percent[2] == '*' && percent[3] == letter;
}

}  // namespace

int JsonWriteFixedBuffer(const char* bytes, int count, void* context) {
  JsonFixedBuffer* fixed = static_cast<JsonFixedBuffer*>(context);
  if (fixed == nullptr || fixed->buffer == nullptr || fixed->size < 1 || fixed->length < 0 ||
      fixed->length >= fixed->size)
    return 0;
  const int room = fixed->size - fixed->length - 1;
  int n = count < room ? count : room;
  if (n < 0 || bytes == nullptr) n = 0;
  if (n > 0) std::memcpy(fixed->buffer + fixed->length, bytes, static_cast<size_t>(n));
  fixed->length += n;
  fixed->buffer[fixed->length] = '\0';
  return n;
}

int JsonPrintQuoted(JsonWriteFn sink, void* sinkContext, const char* bytes, int count) {
  if (sink == nullptr) return 0;
  int sum = Emit(sink, sinkContext, "\"", 1);
  for (int i = 0; bytes && i < count; ++i) {
    const char letter = EscapeLetter(static_cast<unsigned char>(bytes[i]));
    if (letter) {
      sum += Emit(sink, sinkContext, "\\", 1);
      sum += Emit(sink, sinkContext, &letter, 1);
    } else {
      sum += Emit(sink, sinkContext, bytes + i, 1);
    }
  }
  return sum + Emit(sink, sinkContext, "\"", 1);
}

int JsonPrintInt(JsonWriteFn sink, void* sinkContext, int value, bool isSigned) {
  if (sink == nullptr) return 0;
  char text[24];
  int len = 0;
  unsigned magnitude = static_cast<unsigned>(value);
  if (isSigned && value < 0) {
    text[len++] = '-';
    magnitude = 0u - magnitude;
  }
  const int firstDigit = len;
  do {
    text[len++] = DecimalDigits[magnitude % 10u];
    magnitude /= 10u;
  } while (magnitude != 0u);
  for (int lo = firstDigit, hi = len - 1; lo < hi; ++lo, --hi) {
    const char swap = text[lo];
    text[lo] = text[hi];
    text[hi] = swap;
  }
  return Emit(sink, sinkContext, text, len);
}

int JsonPrintDouble(JsonWriteFn sink, void* sinkContext, double value, int precision) {
  if (sink == nullptr) return 0;
  char text[NumberWorkArea];
  const int len = FormatNumber(text, NumberTextLimit, value, ClampPrecision(precision), 0);
  text[len] = '\0';
  return Emit(sink, sinkContext, text, len);
}

int JsonAppendExponent(char* dest, int magnitude, char sign) {
  if (magnitude < 0 || magnitude > 400) return 0;
  dest[0] = 'e';
  dest[1] = sign;
  if (magnitude < 100) {
    dest[2] = DecimalDigits[magnitude / 10];
    dest[3] = DecimalDigits[magnitude % 10];
    return 4;
  }
  dest[2] = DecimalDigits[magnitude / 100];
  dest[3] = DecimalDigits[magnitude / 10 % 10];
  dest[4] = DecimalDigits[magnitude % 10];
  return 5;
}

int JsonVPrintf(JsonWriteFn sink, void* sinkContext, const char* format, va_list* args) {
  if (sink == nullptr || format == nullptr || args == nullptr) return 0;
  int sum = 0;
  const char* f = format;
  while (*f != '\0') {
    if (*f != '%') {
      sum += Emit(sink, sinkContext, f, 1);
      ++f;
      continue;
    }
    char letter = f[1];
    int advance = 2;
    if (letter == 'l') {
      // "l" only matters to "d" and "u"; before any letter it is skipped
      // together with that letter.
      letter = f[2];
      advance = 3;
    }
    if (letter == '\0') break;
    const bool plain = advance == 2;
    if (letter == 'Q') {
      const char* text = va_arg(*args, const char*);
      sum += JsonPrintQuoted(sink, sinkContext, text, text ? static_cast<int>(std::strlen(text)) : 0);
    } else if (plain && DirectiveWithCount(f, 'Q')) {
      const int count = va_arg(*args, int);
      const char* text = va_arg(*args, const char*);
      sum += JsonPrintQuoted(sink, sinkContext, text, count);
      advance = 4;
    } else if (letter == 'd' || letter == 'u') {
      sum += JsonPrintInt(sink, sinkContext, va_arg(*args, int), letter == 'd');
    } else if (letter == 'B') {
      sum += PrintBoolean(sink, sinkContext, va_arg(*args, int));
    } else if (letter == 's') {
      const char* text = va_arg(*args, const char*);
      sum += PrintRaw(sink, sinkContext, text, text ? static_cast<int>(std::strlen(text)) : 0);
    } else if (plain && DirectiveWithCount(f, 's')) {
      const int count = va_arg(*args, int);
      const char* text = va_arg(*args, const char*);
      sum += PrintRaw(sink, sinkContext, text, count);
      advance = 4;
    } else if (letter == 'g') {
      sum += JsonPrintDouble(sink, sinkContext, va_arg(*args, double), 6);
    } else if (plain && DirectiveWithCount(f, 'g')) {
      const int precision = va_arg(*args, int);
      sum += JsonPrintDouble(sink, sinkContext, va_arg(*args, double), precision);
      advance = 4;
    } else if (letter == 'V' || letter == 'H') {
      const int count = va_arg(*args, int);
      const unsigned char* bytes = static_cast<const unsigned char*>(va_arg(*args, const void*));
      sum += letter == 'V' ? PrintBase64(sink, sinkContext, bytes, count) : PrintHex(sink, sinkContext, bytes, count);
    } else if (letter == 'M') {
      JsonPrintCallback callback = va_arg(*args, JsonPrintCallback);
      if (callback) sum += callback(sink, sinkContext, args);
    }
    f += advance;
  }
  return sum;
}

int JsonPrintf(char* buffer, int size, const char* format, ...) {
  if (buffer == nullptr || size < 1) return 0;
  JsonFixedBuffer fixed{buffer, size, 0};
  va_list args;
  va_start(args, format);
  JsonVPrintf(JsonWriteFixedBuffer, &fixed, format, &args);
  va_end(args);
  return fixed.length;
}
