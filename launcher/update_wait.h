#pragma once
// When the wait for the update framework's verdict ends without one, apart
// from the clock and the window calls. Times are milliseconds of one
// monotonic clock.

// With no window of the framework ever shown: how long a check may take.
constexpr unsigned long long UpdateSilentCheckMs = 60000;
// After the framework's last window was seen: how long its answer may take.
constexpr unsigned long long UpdateAfterWindowMs = 10000;

enum class UpdateWaitVerdict {
  Answered,     // a callback has signalled
  KeepWaiting,  // an answer may still come
  GiveUp,       // start without the framework's verdict
};

struct UpdateWaitTimes {
  unsigned long long checkStartedMs;
  bool windowSeen;                      // a window of the framework was seen since the check began
  unsigned long long lastWindowSeenMs;  // when it was last seen; only with windowSeen
};

// Notes a window shown now into `times`, then decides.
UpdateWaitVerdict DecideUpdateWait(UpdateWaitTimes& times, bool callbackSeen, bool windowNow, unsigned long long nowMs);
