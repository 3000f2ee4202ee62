// The AVX2 kernel, alone in its file: only this file is compiled for AVX2
// (-mavx2, /arch:AVX2), and it runs only after cpuid said it may.
#include "json/json_scan.h"

#if defined(__AVX2__)
#include <immintrin.h>

namespace {

// A byte is a stop when it equals the table's entry for its low four bits
// (as in the AVX-512 kernel). Kept in registers: nothing 32-byte wide goes
// through the stack, whose alignment MinGW does not guarantee.
inline uint64_t Stops32(const char* p) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i stopOfLowBits = _mm256_setr_epi8(0, 0, '"', 0, 0, 0, 0, 0, 0, 0, 0, 0, '\\', 0, 0, 0,  //
                                                 0, 0, '"', 0, 0, 0, 0, 0, 0, 0, 0, 0, '\\', 0, 0, 0);
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_shuffle_epi8(stopOfLowBits, v))));
}

}  // namespace

uint64_t JsonStringStopsAvx2(const char* p) { return Stops32(p) | Stops32(p + 32) << 32; }
bool JsonAvx2KernelBuilt() { return true; }
#else
// A build for a processor without AVX2: the kernel is never available.
uint64_t JsonStringStopsAvx2(const char* p) { return JsonStringStopsPortable(p); }
bool JsonAvx2KernelBuilt() { return false; }
#endif
