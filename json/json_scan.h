// The byte classifier under the JSON scanner: marks, 64 bytes at a time, the
// bytes at which a string ends or needs a closer look. One kernel per
// instruction set; the widest one the processor offers is chosen on first
// use, and tests and fuzz targets may force each in turn. Internal to the
// JSON layer.
#pragma once

#include <cstdint>

// The kernels, narrowest first. Portable is the plain C++ classifier that
// every build has; Sse2 exists on every x64 processor; Avx2 and Avx512 are
// chosen when the processor and the operating system support them.
enum JsonScanKernel : int {
  JsonScanPortable = 0,
  JsonScanSse2 = 1,
  JsonScanAvx2 = 2,
  JsonScanAvx512 = 3,
  JsonScanKernelCount = 4
};

// The bytes that stop a string scan: its closing quote, a backslash (which
// may escape the quote after it), and NUL (never allowed in a string).
inline bool IsStringStop(unsigned char b) { return b == '"' || b == '\\' || b == '\0'; }

// Bit k set when p[k] is a string stop, for k in 0..63. Reads exactly the 64
// bytes from p.
typedef uint64_t (*JsonStringStopsFn)(const char* p);

// The kernel in use (chosen on first call), and its classifier.
int JsonScanKernelInUse();
JsonStringStopsFn JsonStringStopsOfKernelInUse();

// "portable", "sse2", "avx2" or "avx512".
const char* JsonScanKernelName(int kernel);

// Whether this build and this processor can run the kernel.
bool JsonScanKernelAvailable(int kernel);

// Test hook: makes the kernel the one in use. Returns 0, or -1 (nothing
// changed) when it is not available.
int JsonUseScanKernel(int kernel);

// The kernels themselves; the Sse2, Avx2 and Avx512 ones exist only where
// JsonScanKernelAvailable can say yes.
uint64_t JsonStringStopsPortable(const char* p);
uint64_t JsonStringStopsSse2(const char* p);
uint64_t JsonStringStopsAvx2(const char* p);
uint64_t JsonStringStopsAvx512(const char* p);

// Checks the content of a container whose opening bracket is text[i - 1]
// (an object when object is true), opening at most opensAllowed containers
// inside it, and returns the index of its closing bracket. Returns -1 when it
// cannot vouch for the content (malformed, nested too deeply, cut off by the
// length, or anything it does not handle): the caller then checks the
// container token by token, which also tells which fault comes first.
typedef int (*JsonCheckContainerFn)(const char* text, int length, int i, bool object, int opensAllowed);

// The kernel in use's container check, or null when it has none.
JsonCheckContainerFn JsonCheckContainerOfKernelInUse();

// A block at a time on AVX-512 (F, BW, VBMI, VBMI2) with BMI1, BMI2, POPCNT and
// PCLMULQDQ.
int JsonCheckContainerAvx512(const char* text, int length, int i, bool object, int opensAllowed);

// Whether the AVX2 kernel was compiled for AVX2 (x86 builds only).
bool JsonAvx2KernelBuilt();

// Whether the AVX-512 kernel was compiled for AVX-512 (x86 builds only).
bool JsonAvx512KernelBuilt();
