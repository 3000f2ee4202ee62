#include "launcher/throttle.h"

namespace {

constexpr unsigned long long FileTimeUnitsPerSecond = 10000000ULL;
constexpr long long SecondsFrom1601To1970 = 11644473600LL;
constexpr unsigned long long ThrottleWindowSeconds = 1;

}  // namespace

bool UnixTimeFromSystemTime(const SYSTEMTIME& time, long long& seconds) {
  FILETIME fileTime;
  if (!SystemTimeToFileTime(&time, &fileTime)) return false;
  ULARGE_INTEGER units;
  units.LowPart = fileTime.dwLowDateTime;
  units.HighPart = fileTime.dwHighDateTime;
  seconds = static_cast<long long>(units.QuadPart / FileTimeUnitsPerSecond) - SecondsFrom1601To1970;
  return true;
}

ThrottleVerdict DecideThrottle(bool nowKnown, long long now, long long lastCheck) {
  if (!nowKnown) return ThrottleVerdict::PassedTimeUnknown;
  if (lastCheck > now) return ThrottleVerdict::PassedClockSetBack;
  // lastCheck <= now, so the unsigned difference is exact even where the
  // signed one would overflow (a LastCheck far below zero).
  const unsigned long long elapsed = static_cast<unsigned long long>(now) - static_cast<unsigned long long>(lastCheck);
  return elapsed <= ThrottleWindowSeconds ? ThrottleVerdict::Throttled : ThrottleVerdict::Passed;
}
