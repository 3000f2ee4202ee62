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

bool HasAllBits(unsigned value, unsigned bits) { return (value & bits) == bits; }

// Whether AVX runs and the operating system saves every register state in
// stateBits of XCR0.
bool OsSavesState(unsigned stateBits) {
  if (Cpuid(0, 0).eax < 7) return false;
  const unsigned ecx = Cpuid(1, 0).ecx;
  // OSXSAVE (27: xgetbv may run) and AVX (28).
  if (!HasAllBits(ecx, 1u << 27 | 1u << 28)) return false;
  return HasAllBits(static_cast<unsigned>(_xgetbv(0)), stateBits);
}

}  // namespace

bool CpuCanRunAvx2() {
  // XMM and YMM state: XCR0 bits 1 and 2. AVX2: leaf 7 EBX bit 5.
  return OsSavesState(0x6u) && HasAllBits(Cpuid(7, 0).ebx, 1u << 5);
}

bool CpuCanRunAvx512() {
  // XMM, YMM, opmask, upper ZMM0-15 and ZMM16-31 state: XCR0 bits 1-2, 5-7.
  if (!OsSavesState(0xE6u)) return false;
  if (!HasAllBits(Cpuid(1, 0).ecx, 1u << 1 | 1u << 23)) return false;  // PCLMULQDQ, POPCNT
  const CpuidRegisters leaf7 = Cpuid(7, 0);
  // EBX: BMI1 3, AVX2 5, BMI2 8, AVX512F 16, DQ 17, CD 28, BW 30, VL 31.
  const unsigned ebxBits = 1u << 3 | 1u << 5 | 1u << 8 | 1u << 16 | 1u << 17 | 1u << 28 | 1u << 30 | 1u << 31;
  // ECX: AVX512_VBMI 1, AVX512_VBMI2 6.
  return HasAllBits(leaf7.ebx, ebxBits) && HasAllBits(leaf7.ecx, 1u << 1 | 1u << 6);
}
#else
bool CpuCanRunAvx2() { return false; }
bool CpuCanRunAvx512() { return false; }
#endif
