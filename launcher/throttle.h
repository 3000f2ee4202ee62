#pragma once
#include <windows.h>

// The rule that throttles a start coming within a second of the last
// recorded check, apart from the mutex and the registry around it.

enum class ThrottleVerdict {
  Throttled,           // no update check, no key provisioning
  Passed,              // record the current time
  PassedClockSetBack,  // the last check lies in the future: record the current time
  PassedTimeUnknown,   // no current time: neither throttle nor record
};

// Whole seconds since 1970-01-01 00:00 UTC. False when `time` is no valid
// date.
bool UnixTimeFromSystemTime(const SYSTEMTIME& time, long long& seconds);

ThrottleVerdict DecideThrottle(bool nowKnown, long long now, long long lastCheck);
