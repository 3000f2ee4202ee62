// The AVX-512 kernel, alone in its file: only this file is compiled for
// AVX-512 (F, BW), and it runs only after cpuid said it may.
#include "json/json_scan.h"

#if defined(__AVX512BW__)
#include <immintrin.h>

// One 64-byte load and three byte compares straight into a 64-bit mask. Kept
// in registers: MinGW does not align the stack for 64-byte spills.
uint64_t JsonStringStopsAvx512(const char* p) {
  const __m512i v = _mm512_loadu_si512(p);
  const __mmask64 quotes = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"'));
  const __mmask64 backslashes = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\'));
  const __mmask64 nuls = _mm512_testn_epi8_mask(v, v);
  return quotes | backslashes | nuls;
}
bool JsonAvx512KernelBuilt() { return true; }
#else
// A build without AVX-512 support: the kernel is never available.
uint64_t JsonStringStopsAvx512(const char* p) { return JsonStringStopsPortable(p); }
bool JsonAvx512KernelBuilt() { return false; }
#endif
