#pragma once
#include <windows.h>

// How long a step took, in whole milliseconds.
struct Stopwatch {
  ULONGLONG startMs;
};

inline Stopwatch StartStopwatch() { return Stopwatch{GetTickCount64()}; }
inline long long ElapsedMs(const Stopwatch& watch) { return static_cast<long long>(GetTickCount64() - watch.startMs); }
