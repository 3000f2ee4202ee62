#include "launcher/process_state.h"

int LaunchFlag = 1;
HANDLE FinishedEvent = nullptr;

namespace {

// 0 while not taken.
volatile LONG updateVerdict = 0;

}  // namespace

LONG TakeUpdateVerdict(LONG verdict) {
  const LONG before = InterlockedCompareExchange(&updateVerdict, verdict, 0);
  return before == 0 ? verdict : before;
}
