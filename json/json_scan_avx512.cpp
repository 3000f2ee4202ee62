// The AVX-512 kernel, alone in its file: only this file is compiled for
// AVX-512 (F, BW), and it runs only after cpuid said it may.
#include "json/json_scan.h"

#if defined(__AVX512BW__)
#include <immintrin.h>

// One 64-byte load, one table lookup by each byte's low four bits, one
// compare into a 64-bit mask: a byte is a stop when it equals the table's
// entry for its low bits ('\0', '"' and '\\' are 0x00, 0x22 and 0x5C; every
// other entry is 0x00, which no byte with other low bits equals, and bytes
// from 0x80 look up 0). Kept in registers: MinGW does not align the stack for
// 64-byte spills.
uint64_t JsonStringStopsAvx512(const char* p) {
  const __m512i v = _mm512_loadu_si512(p);
  // The 16-byte table in every 128-bit lane: '"' at byte 2, '\\' at byte 12.
  const __m512i stopOfLowBits = _mm512_set4_epi64(0x0000005C00000000ll, 0x220000ll, 0x0000005C00000000ll, 0x220000ll);
  return _mm512_cmpeq_epi8_mask(v, _mm512_shuffle_epi8(stopOfLowBits, v));
}
bool JsonAvx512KernelBuilt() { return true; }
#else
// A build without AVX-512 support: the kernel is never available.
uint64_t JsonStringStopsAvx512(const char* p) { return JsonStringStopsPortable(p); }
bool JsonAvx512KernelBuilt() { return false; }
#endif
