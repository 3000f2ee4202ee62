#include "launcher/update_wait.h"

UpdateWaitVerdict DecideUpdateWait(UpdateWaitTimes& times, bool callbackSeen, bool windowNow,
                                   unsigned long long nowMs) {
  if (callbackSeen) return UpdateWaitVerdict::Answered;
  if (windowNow) {
    // The user has the framework's attention, however long that takes.
    times.windowSeen = true;
    times.lastWindowSeenMs = nowMs;
    return UpdateWaitVerdict::KeepWaiting;
  }
  // A clock read before the times were noted counts as no time passed.
  const unsigned long long since = times.windowSeen ? times.lastWindowSeenMs : times.checkStartedMs;
  const unsigned long long bound = times.windowSeen ? UpdateAfterWindowMs : UpdateSilentCheckMs;
  const unsigned long long elapsed = nowMs > since ? nowMs - since : 0;
  return elapsed >= bound ? UpdateWaitVerdict::GiveUp : UpdateWaitVerdict::KeepWaiting;
}
