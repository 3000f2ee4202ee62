// What the processor offers, asked once through cpuid (and xgetbv for what
// the operating system saves on a thread switch). Internal to the JSON layer.
#pragma once

// Whether AVX2 instructions can run: the processor has them and the
// operating system keeps the 256-bit registers across thread switches.
bool CpuCanRunAvx2();

// Whether the AVX-512 kernel may run: besides AVX2, the processor has
// AVX-512 F, DQ, CD, BW, VL, VBMI and VBMI2 with BMI1, BMI2, POPCNT and
// PCLMULQDQ (Ice Lake, Zen 4 and later, which keep their clock under 512-bit
// work), and the operating system keeps the opmask and 512-bit registers as
// well.
bool CpuCanRunAvx512();
