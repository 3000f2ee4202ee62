// What the processor offers, asked once through cpuid (and xgetbv for what
// the operating system saves on a thread switch). Internal to the JSON layer.
#pragma once

// Whether AVX2 instructions can run: the processor has them and the
// operating system keeps the 256-bit registers across thread switches.
bool CpuCanRunAvx2();
