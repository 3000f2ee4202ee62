// The container check of the AVX-512 kernel, alone in its file with the
// kernel's flags (AVX-512 F, BW, VBMI and VBMI2 with BMI1, BMI2, POPCNT and
// PCLMULQDQ); it runs only after cpuid said it may.
//
// Block by block of 64 bytes, with vector instructions and no branch on the
// text: the strings from the quotes (a prefix XOR of the unescaped ones), the
// tokens' first bytes outside them, and their classes packed in text order.
// Every token is checked against the one or two before it in one table
// lookup. What only the enclosing container can settle (a ':' needs an
// object; a ',' followed by a value rather than a key needs an array) is
// marked, and a walk over the block's brackets, with the open containers'
// kinds as bits, checks those marks, the pairing and the nesting limit, and
// finds the closing bracket. Blocks are classified a run at a time ahead of
// the walk. Numbers of the common forms are checked in bulk; literals, any
// other number and one that runs on into the next block are read one by one.
#include "json/json_scan.h"

#if defined(__AVX512BW__) &&                                                                             \
    (defined(_MSC_VER) || (defined(__AVX512VBMI__) && defined(__AVX512VBMI2__) && defined(__POPCNT__) && \
                           defined(__BMI2__) && defined(__BMI__) && defined(__PCLMUL__)))
#include <immintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include <cstring>

#include "json/json_internal.h"

namespace {

// A token's class by its first byte; the grammar is a matter of which class
// may follow which.
enum TokenClass : unsigned {
  ClassOpenObject = 0,
  ClassOpenArray = 1,
  ClassCloseObject = 2,
  ClassCloseArray = 3,
  ClassColon = 4,
  ClassComma = 5,
  ClassString = 6,
  ClassScalar = 7
};

constexpr unsigned Bit(unsigned c) { return 1u << c; }
constexpr unsigned ValueStart = Bit(ClassOpenObject) | Bit(ClassOpenArray) | Bit(ClassString) | Bit(ClassScalar);
constexpr unsigned AfterValue = Bit(ClassCloseObject) | Bit(ClassCloseArray) | Bit(ClassComma);

// The same 16 bytes in every 128-bit lane, for table lookups. The zero-masked
// forms here and below say what the unmasked ones leave undefined, on which
// GCC 12's headers warn.
inline __m512i InEveryLane(__m128i table) { return _mm512_maskz_broadcast_i32x4(0xFFFF, table); }

// The classes that may follow a token, by its class (rows 0-7), and by the
// class before a string for the token after that string (rows 8-15): a key
// follows '{' (then ':' must come) or ',' (its container decides), and no
// other string is followed by ':'. A ',' may end a container. Row 6 is
// never read.
inline __m512i FollowerTable() {
  constexpr unsigned AfterComma = ValueStart | Bit(ClassCloseObject) | Bit(ClassCloseArray);
  return InEveryLane(_mm_setr_epi8(Bit(ClassString) | Bit(ClassCloseObject), ValueStart | Bit(ClassCloseArray),
                                   AfterValue, AfterValue, ValueStart, AfterComma, 0, AfterValue,  //
                                   Bit(ClassColon), AfterValue, AfterValue, AfterValue, AfterValue,
                                   AfterValue | Bit(ClassColon), AfterValue, AfterValue));
}

// By the same rows, the classes that only an array may hold there: a value
// after ',' (row 5), or after a string after ',' anything but ':' (row 13),
// which makes that string a value rather than a key. A bracket that closes
// after ',' is paired by the walk.
inline __m512i ArrayOnlyTable() {
  constexpr unsigned ValueAfterComma = ValueStart & ~Bit(ClassString);
  return InEveryLane(
      _mm_setr_epi8(0, 0, 0, 0, 0, ValueAfterComma, 0, 0, 0, 0, 0, 0, 0, static_cast<char>(~Bit(ClassColon)), 0, 0));
}

// A punctuation byte's class by its low four bits ('[' and ']' come out as
// '{' and '}' and are moved up by one); scalars are marked apart.
inline __m512i ClassByLowBits() {
  return InEveryLane(_mm_setr_epi8(0, 0, ClassString, 0, 0, 0, 0, 0, 0, 0, ClassColon, ClassOpenObject, ClassComma,
                                   ClassCloseObject, 0, 0));
}

// Bytes that end a scalar: a scalar runs until one of them.
struct ScalarEnds {
  bool end[256];
  constexpr ScalarEnds() : end() {
    const char ends[] = " \t\n\r{}[]:,\"";
    for (const char c : ends) end[static_cast<unsigned char>(c)] = c != '\0';
  }
};
constexpr ScalarEnds ScalarEndTable;

inline int LowestBit(uint64_t m) { return static_cast<int>(_tzcnt_u64(m)); }

// Byte k holds k.
inline __m512i ByteIndices() {
  return _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41, 40,
                         39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                         15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
}

// Bits 0..k.
inline uint64_t UpTo(int k) { return ~uint64_t{0} >> (63 - k); }

// Bit k set when bits 0..k of x hold an odd number of ones.
inline uint64_t PrefixXor(uint64_t x) {
  return static_cast<uint64_t>(
      _mm_cvtsi128_si64(_mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(x)), _mm_set1_epi8(-1), 0)));
}

// All ones when bit 63 is set, else 0.
inline uint64_t SpreadTopBit(uint64_t x) { return static_cast<uint64_t>(static_cast<int64_t>(x) >> 63); }

// The bytes that a backslash takes out of the grammar, one backslash at a
// time (texts seldom hold many); escapeFirst is 1 when a backslash at the end
// of the block before escapes the first byte. A backslash that is not
// escaped itself escapes the next byte, in the next block for the last.
uint64_t EscapedBytes(uint64_t backslashes, uint64_t escapeFirst) {
  uint64_t escaped = escapeFirst;
  for (uint64_t b = backslashes & ~escaped; b != 0; b &= b - 1) {
    const uint64_t next = uint64_t{2} << LowestBit(b);  // 0 for the last byte
    escaped |= next;
    b &= ~next;
  }
  return escaped;
}

// Whether the scalar at start is a number or literal that ends where its run
// of scalar bytes ends, before the length.
bool ScalarValid(const char* text, int length, int start) {
  const char* p = text + start;
  int end;
  if (IsDecimalDigit(static_cast<unsigned char>(*p)) || *p == '-') {
    end = static_cast<int>(JsonNumberEnd(p) - text);
    if (end == start) return false;
  } else if (*p == 't' || *p == 'n') {
    if (length - start < 5 || std::memcmp(p, *p == 't' ? "true" : "null", 4) != 0) return false;
    end = start + 4;
  } else if (*p == 'f') {
    if (length - start < 6 || std::memcmp(p, "false", 5) != 0) return false;
    end = start + 5;
  } else {
    return false;
  }
  return end < length && ScalarEndTable.end[static_cast<unsigned char>(text[end])];
}

inline uint32_t Word(const char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// ScalarValid for a scalar that is not a number, with no branch on which
// literal it is where six bytes lie before the length.
inline bool LiteralValid(const char* text, int length, int start) {
  if (length - start < 6) return ScalarValid(text, length, start);
  const char* p = text + start;
  const uint32_t w = Word(p);
  const int ends4 = ScalarEndTable.end[static_cast<unsigned char>(p[4])];
  const int ends5 = ScalarEndTable.end[static_cast<unsigned char>(p[5])];
  const int isTrue = w == Word("true");
  const int isNull = w == Word("null");
  const int isFals = w == Word("fals");
  const int eFollows = p[4] == 'e';
  return (((isTrue | isNull) & ends4) | (isFals & eFollows & ends5)) != 0;
}

// Where the scalar whose bytes run on to base began: the first byte after
// the punctuation, space or quote before it.
int ScalarStartBefore(const char* text, int base) {
  int start = base;
  while (!ScalarEndTable.end[static_cast<unsigned char>(text[start - 1])]) --start;
  return start;
}

// The block's last byte, at bit 0.
inline uint64_t Top(uint64_t x) { return x >> 63; }

// The bytes the classification compares with, each in all 64 lanes, made
// once per check. GCC would otherwise rebuild each one in every block from a
// general register, two instructions apiece; an empty asm statement hides
// that they are constants.
struct Splats {
  __m512i quote, backslash, caseBit, openCurly, closeCurly, colon, comma;  // punctuation
  __m512i one, eight, scalar, string;                                      // token classes
  __m512i zero, ten, minus, dot;                                           // numbers
};

inline __m512i Splat(char c) {
  __m512i x = _mm512_set1_epi8(c);
#if defined(__GNUC__)
  __asm__("" : "+v"(x));
#endif
  return x;
}

inline Splats MakeSplats() {
  return Splats{Splat('"'), Splat('\\'), Splat(0x20),        Splat('{'),         Splat('}'), Splat(':'), Splat(','),  //
                Splat(1),   Splat(8),    Splat(ClassScalar), Splat(ClassString),                                      //
                Splat('0'), Splat(10),   Splat('-'),         Splat('.')};
}

// Numbers that start in the block are checked in bulk when they take the
// common forms -?D+ and -?D+.D+ (D a digit); the bits returned mark where a
// number strays from them, and such numbers are then read one by one, as is
// one that runs on into the next block, whose marks would need the bytes
// after it. Nothing else passes from block to block, which keeps the
// classification's state in registers. numberBytes gets the numbers' bytes.
// The masks of digits, '-' and '.' are not limited to scalars: a number's
// neighbours within its run are scalar bytes, and a byte that ends the run is
// none of the three.
inline uint64_t NumbersOffForm(const __m512i v, const Splats& k, uint64_t scalars, uint64_t scalarStarts,
                               uint64_t& numberStarts, uint64_t& numberBytes) {
  const uint64_t digits = _mm512_cmplt_epu8_mask(_mm512_sub_epi8(v, k.zero), k.ten);
  const uint64_t minuses = _mm512_cmpeq_epi8_mask(v, k.minus);
  const uint64_t dots = _mm512_cmpeq_epi8_mask(v, k.dot);
  numberStarts = scalarStarts & (digits | minuses);
  // Adding a run's first bit carries through the run: the bits that change
  // are the run's bytes and the one after.
  numberBytes = ((scalars + numberStarts) ^ scalars) & scalars;
  const uint64_t numberDots = dots & numberBytes;
  const uint64_t minusStarts = numberStarts & minuses;
  const uint64_t fractionChanges = (digits + ((numberDots << 1) & digits)) ^ digits;
  return (numberBytes & ~(digits | dots | minusStarts)) | ((minusStarts << 1) & ~digits) |
         (numberDots & ~(digits << 1)) | ((numberDots << 1) & ~digits) | (fractionChanges & ~digits & scalars);
}

// What the classification learns of one block, as bits by byte.
struct BlockFacts {
  uint64_t opens;          // '{' and '['
  uint64_t brackets;       // '{', '[', '}' and ']'
  uint64_t squares;        // '[' and ']'
  uint64_t needArray;      // tokens that only an array may hold here
  uint64_t needObject;     // ':'
  uint64_t faults;         // misplaced tokens and NUL bytes
  uint64_t numberStarts;   // numbers' first bytes
  uint64_t offForm;        // bytes where a number strays from the common forms
  uint64_t literalStarts;  // other scalars' first bytes
  bool numberBefore;       // the block before ends in a number, read one by
                           // one here
};

// What one block hands on to the next.
struct Carry {
  uint64_t inString;     // all ones while a string goes on
  uint64_t escapeFirst;  // 1 when a backslash escapes the next block's first byte
  uint64_t lastScalar;   // 1 when the block ends in a scalar's byte
  uint64_t lastNumber;   // 1 when it ends in a number's byte
  __m512i lastTwo;       // bytes 62 and 63: the classes of the last two tokens
};

// Classifies the block at text[base], whose bytes before the length are
// given by valid (all 64 when Whole, which spares the masking). Every
// compare reads the bytes alone, so that they run beside the string mask's
// chain, and the bits meet in general registers.
template <bool Whole>
inline BlockFacts ClassifyBlock(const char* text, int base, uint64_t valid, const Splats& k, Carry& carry) {
  BlockFacts facts;
  if (Whole) valid = ~uint64_t{0};
  const __m512i v = Whole ? _mm512_loadu_si512(text + base) : _mm512_maskz_loadu_epi8(valid, text + base);
  const __mmask64 quoteBytes = _mm512_cmpeq_epi8_mask(v, k.quote);
  const uint64_t backslashes = _mm512_cmpeq_epi8_mask(v, k.backslash);
  const __m512i folded = _mm512_or_si512(v, k.caseBit);  // '[' and ']' as '{' and '}'
  const __mmask64 openBytes = _mm512_cmpeq_epi8_mask(folded, k.openCurly);
  const __mmask64 closeBytes = _mm512_cmpeq_epi8_mask(folded, k.closeCurly);
  const __mmask64 colonBytes = _mm512_cmpeq_epi8_mask(v, k.colon);
  const __mmask64 commaBytes = _mm512_cmpeq_epi8_mask(v, k.comma);
  const __m512i spaceByLowBits = InEveryLane(_mm_setr_epi8(' ', 0, 0, 0, 0, 0, 0, 0, 0, '\t', '\n', 0, 0, '\r', 0, 0));
  const uint64_t spaces = _mm512_cmpeq_epi8_mask(v, _mm512_shuffle_epi8(spaceByLowBits, v));
  const __mmask64 bracketBytes = _kor_mask64(openBytes, closeBytes);
  facts.squares = _mm512_mask_cmpneq_epi8_mask(bracketBytes, v, folded);
  const __mmask64 punctuationBytes = _kor_mask64(bracketBytes, _kor_mask64(colonBytes, commaBytes));
  // Each byte's class as the first byte of a token.
  __m512i classes = _mm512_shuffle_epi8(ClassByLowBits(), v);
  classes = _mm512_mask_add_epi8(classes, facts.squares, classes, k.one);
  classes = _mm512_mask_mov_epi8(k.scalar, _kor_mask64(punctuationBytes, quoteBytes), classes);
  const uint64_t nuls = _mm512_mask_testn_epi8_mask(valid, v, v);

  const uint64_t escaped = (backslashes | carry.escapeFirst) != 0 ? EscapedBytes(backslashes, carry.escapeFirst) : 0;
  carry.escapeFirst = (backslashes & ~escaped) >> 63;
  const uint64_t quotes = quoteBytes & ~escaped;
  const uint64_t strings = PrefixXor(quotes) ^ carry.inString;  // opening quotes and bodies
  carry.inString = SpreadTopBit(strings);
  const uint64_t outside = ~(strings | quotes) & valid;
  facts.opens = openBytes & outside;
  facts.brackets = bracketBytes & outside;
  facts.needObject = colonBytes & outside;
  const uint64_t punctuation = punctuationBytes & outside;
  const uint64_t scalars = outside & ~spaces & ~punctuation;
  const uint64_t scalarStarts = scalars & ~(scalars << 1 | carry.lastScalar);
  carry.lastScalar = Top(scalars);
  const uint64_t starts = punctuation | (quotes & strings) | scalarStarts;

  facts.numberBefore = carry.lastNumber != 0;
  uint64_t numberBytes;
  facts.offForm = NumbersOffForm(v, k, scalars, scalarStarts, facts.numberStarts, numberBytes);
  carry.lastNumber = Top(numberBytes);
  facts.literalStarts = scalarStarts & ~facts.numberStarts;

  const __m512i tokens = _mm512_maskz_compress_epi8(starts, classes);
  // The packed classes moved up by one and two places, the block before's
  // last two coming in at the bottom.
  const __m512i lanesBefore = _mm512_maskz_alignr_epi64(0xFF, tokens, carry.lastTwo, 6);
  const __m512i tokenBefore = _mm512_alignr_epi8(tokens, lanesBefore, 15);
  const __m512i tokenTwoBefore = _mm512_alignr_epi8(tokens, lanesBefore, 14);
  const uint64_t afterString = _mm512_cmpeq_epi8_mask(tokenBefore, k.string);
  const __m512i row = _mm512_mask_add_epi8(tokenBefore, afterString, tokenTwoBefore, k.eight);
  const __m512i classBit = InEveryLane(_mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0));
  const __m512i tokenBit = _mm512_shuffle_epi8(classBit, tokens);
  const uint64_t misplaced = _mm512_testn_epi8_mask(_mm512_shuffle_epi8(FollowerTable(), row), tokenBit);
  const uint64_t arrayOnly = _mm512_test_epi8_mask(_mm512_shuffle_epi8(ArrayOnlyTable(), row), tokenBit);
  // The last two of the block before's classes and this block's, in that
  // order, end at byte 62 + count of the two vectors side by side.
  const char count = static_cast<char>(_mm_popcnt_u64(starts));
  const __m512i lastTwoAt = _mm512_add_epi8(ByteIndices(), _mm512_set1_epi8(count));
  carry.lastTwo = _mm512_permutex2var_epi8(carry.lastTwo, lastTwoAt, tokens);
  facts.needArray = _pdep_u64(arrayOnly, starts);
  facts.faults = _pdep_u64(misplaced, starts) | nuls;
  return facts;
}

// The numbers that start at the bits of starts, read one by one.
bool NumbersValid(const char* text, int length, int base, uint64_t starts) {
  for (; starts != 0; starts &= starts - 1) {
    if (!ScalarValid(text, length, base + LowestBit(starts))) return false;
  }
  return true;
}

// Whether the scalars of a block up to the bits of limit are sound: the
// literals and a number that runs in from the block before one by one, the
// numbers that start here in bulk unless one strays from the common forms.
inline bool ScalarsSound(const char* text, int length, int base, const BlockFacts& facts, uint64_t limit) {
  for (uint64_t starts = facts.literalStarts & limit; starts != 0; starts &= starts - 1) {
    if (!LiteralValid(text, length, base + LowestBit(starts))) return false;
  }
  if (facts.numberBefore && !ScalarValid(text, length, ScalarStartBefore(text, base))) return false;
  return (facts.offForm & limit) == 0 || NumbersValid(text, length, base, facts.numberStarts & limit);
}

// The open containers inside the checked one.
struct Nest {
  uint64_t objects;  // bit d: the container d levels out is an object
  int depth;         // containers open inside the checked one
  int opensAllowed;
};

constexpr int GoesOn = -2;  // the checked container goes on after the block

// Walks the block's brackets in turn, without a branch on which comes: a
// fault only marks the block. Between two brackets every byte is in the same
// container. Returns the index of the checked container's closing bracket,
// -1 for a fault, or GoesOn.
inline int WalkBlock(const char* text, int length, int base, const BlockFacts& facts, Nest& nest) {
  uint64_t settled = 0;  // bytes whose container has been checked
  uint64_t unsound = facts.faults;
  for (uint64_t left = facts.brackets; left != 0; left &= left - 1) {
    const int b = LowestBit(left);
    const uint64_t upTo = left ^ (left - 1);  // bits 0..b
    unsound |= ((nest.objects & 1) != 0 ? facts.needArray : facts.needObject) & upTo & ~settled;
    settled = upTo;
    const uint64_t open = facts.opens >> b & 1;
    const uint64_t curly = ~facts.squares >> b & 1;
    if (open == 0 && nest.depth == 0) {
      unsound |= (nest.objects ^ curly) & 1;
      return (unsound & upTo) == 0 && ScalarsSound(text, length, base, facts, upTo) ? base + b : -1;
    }
    unsound |= open != 0 ? static_cast<uint64_t>(nest.depth == nest.opensAllowed) : (nest.objects ^ curly) & 1;
    nest.depth += open != 0 ? 1 : -1;
    nest.objects = open != 0 ? nest.objects << 1 | curly : nest.objects >> 1;
  }
  unsound |= ((nest.objects & 1) != 0 ? facts.needArray : facts.needObject) & ~settled;
  return unsound == 0 && ScalarsSound(text, length, base, facts, ~uint64_t{0}) ? GoesOn : -1;
}

inline uint64_t ValidBytes(int length, int base) {
  return length - base >= 64 ? ~uint64_t{0} : UpTo(length - base - 1);
}

// Whole blocks are classified a run at a time before their brackets are
// walked: the classification has no branch on the text, so the processor
// overlaps its blocks, which the walk's branches between them prevent. The
// run doubles from one block, so that a container never has more blocks
// classified in vain than it holds.
constexpr int MostBlocksAhead = 16;

}  // namespace

int JsonCheckContainerAvx512(const char* text, int length, int i, bool object, int opensAllowed) {
  const Splats k = MakeSplats();
  Carry carry{0, 0, 0, 0, _mm512_set1_epi8(static_cast<char>(object ? ClassOpenObject : ClassOpenArray))};
  Nest nest{object ? 1u : 0u, 0, opensAllowed};
  BlockFacts ahead[MostBlocksAhead];
  int base = i;
  for (int run = 1; length - base >= 64; run = run < MostBlocksAhead ? 2 * run : run) {
    const int blocks = (length - base) / 64 < run ? (length - base) / 64 : run;
    for (int b = 0; b < blocks; ++b) {
      const int at = base + 64 * b;
      // Asked for 512 bytes ahead, a long container's lines arrive sooner
      // than the hardware alone fetches them (1.6 % faster on 64 KB texts
      // here). The address may lie past the text, which a prefetch never
      // faults on; it is formed as an integer so that no pointer leaves the
      // text.
      _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(text + at) + 512), _MM_HINT_T0);
      ahead[b] = ClassifyBlock<true>(text, at, 0, k, carry);
    }
    for (int b = 0; b < blocks; ++b, base += 64) {
      const int end = WalkBlock(text, length, base, ahead[b], nest);
      if (end != GoesOn) return end;
    }
  }
  if (base == length) return -1;
  const BlockFacts last = ClassifyBlock<false>(text, base, ValidBytes(length, base), k, carry);
  const int end = WalkBlock(text, length, base, last, nest);
  return end == GoesOn ? -1 : end;
}
#else
// A build without the kernel's instruction sets: never called.
int JsonCheckContainerAvx512(const char*, int, int, bool, int) { return -1; }
#endif
