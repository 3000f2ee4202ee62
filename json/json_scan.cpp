#include "json/json_scan.h"

#include <atomic>
#include <cstring>

#include "json/json_cpu.h"
#include "json/json_internal.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define JSON_SCAN_SSE2 1
#endif

namespace {

// -1 until the first call chooses; a test may change it later. Relaxed
// order is enough: every value it ever holds is a valid kernel.
std::atomic<int> kernelInUse{-1};

int WidestAvailableKernel() {
  for (int k = JsonScanKernelCount - 1; k > JsonScanPortable; --k) {
    if (JsonScanKernelAvailable(k)) return k;
  }
  return JsonScanPortable;
}

#if JSON_SCAN_SSE2
uint64_t Stops16(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hit =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                   _mm_cmpeq_epi8(v, _mm_setzero_si128()));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
#endif

}  // namespace

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// Eight bytes at a time in a 64-bit word, with no branch on the text.
uint64_t JsonStringStopsPortable(const char* p) {
  uint64_t stops = 0;
  for (int w = 0; w < 8; ++w) {
    uint64_t x;
    std::memcpy(&x, p + 8 * w, 8);
    const uint64_t high =
        BytesMatching(x, 0x2222222222222222ull) | BytesMatching(x, 0x5C5C5C5C5C5C5C5Cull) | BytesMatching(x, 0);
    // Bit 7 of byte j to bit j of the top byte: every partial product lands
    // on a bit of its own, so nothing carries.
    stops |= ((high >> 7) * 0x0102040810204080ull >> 56) << (8 * w);
  }
  return stops;
}
#else
uint64_t JsonStringStopsPortable(const char* p) {
  uint64_t stops = 0;
  for (int k = 0; k < 64; ++k) {
    if (IsStringStop(static_cast<unsigned char>(p[k]))) stops |= uint64_t{1} << k;
  }
  return stops;
}
#endif

#if JSON_SCAN_SSE2
uint64_t JsonStringStopsSse2(const char* p) {
  return Stops16(p) | Stops16(p + 16) << 16 | Stops16(p + 32) << 32 | Stops16(p + 48) << 48;
}
#endif

bool JsonScanKernelAvailable(int kernel) {
  switch (kernel) {
    case JsonScanPortable:
      return true;
#if JSON_SCAN_SSE2
    case JsonScanSse2:
      return true;
    case JsonScanAvx2:
      return JsonAvx2KernelBuilt() && CpuCanRunAvx2();
    case JsonScanAvx512:
      return JsonAvx512KernelBuilt() && CpuCanRunAvx512();
#endif
    default:
      return false;
  }
}

int JsonScanKernelInUse() {
  int kernel = kernelInUse.load(std::memory_order_relaxed);
  if (kernel < 0) {
    kernel = WidestAvailableKernel();
    kernelInUse.store(kernel, std::memory_order_relaxed);
  }
  return kernel;
}

JsonStringStopsFn JsonStringStopsOfKernelInUse() {
  switch (JsonScanKernelInUse()) {
#if JSON_SCAN_SSE2
    case JsonScanAvx512:
      return JsonStringStopsAvx512;
    case JsonScanAvx2:
      return JsonStringStopsAvx2;
    case JsonScanSse2:
      return JsonStringStopsSse2;
#endif
    default:
      return JsonStringStopsPortable;
  }
}

JsonCheckContainerFn JsonCheckContainerOfKernelInUse() {
#if JSON_SCAN_SSE2
  if (JsonScanKernelInUse() == JsonScanAvx512) return JsonCheckContainerAvx512;
#endif
  return nullptr;
}

const char* JsonScanKernelName(int kernel) {
  switch (kernel) {
    case JsonScanPortable:
      return "portable";
    case JsonScanSse2:
      return "sse2";
    case JsonScanAvx2:
      return "avx2";
    case JsonScanAvx512:
      return "avx512";
    default:
      return "unknown";
  }
}

int JsonUseScanKernel(int kernel) {
  if (!JsonScanKernelAvailable(kernel)) return -1;
  kernelInUse.store(kernel, std::memory_order_relaxed);
  return 0;
}
