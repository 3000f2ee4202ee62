#include "json/json_cpu.h"

// Built with -mxsave under GCC and Clang (for _xgetbv alone); the compiler
// emits no other instruction for it.
#if defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#include <intrin.h>
#define JSON_CPU_X86 1
#elif defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define JSON_CPU_X86 1
#endif

#if JSON_CPU_X86
namespace {

struct CpuidRegisters {
  unsigned eax, ebx, ecx, edx;
};

CpuidRegisters Cpuid(unsigned leaf, unsigned subleaf) {
  CpuidRegisters r{0, 0, 0, 0};
#if defined(_MSC_VER)
  int out[4];
  __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
  r = {static_cast<unsigned>(out[0]), static_cast<unsigned>(out[1]), static_cast<unsigned>(out[2]),
       static_cast<unsigned>(out[3])};
#else
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#endif
  return r;
}

}  // namespace

bool CpuCanRunAvx2() {
  if (Cpuid(0, 0).eax < 7) return false;
  const CpuidRegisters features = Cpuid(1, 0);
  const bool osSavesYmm = (features.ecx & (1u << 27)) != 0;  // OSXSAVE: xgetbv may run
  const bool avx = (features.ecx & (1u << 28)) != 0;
  if (!osSavesYmm || !avx) return false;
  // XMM and YMM state (bits 1 and 2) enabled by the operating system.
  if ((_xgetbv(0) & 6u) != 6u) return false;
  return (Cpuid(7, 0).ebx & (1u << 5)) != 0;
}
#else
bool CpuCanRunAvx2() { return false; }
#endif
