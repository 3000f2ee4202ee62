#include "launcher/process_state.h"

int LaunchFlag = 1;
HANDLE FinishedEvent = nullptr;

namespace {

// 0 while nobody has taken it.
volatile LONG updateVerdictTaker = 0;

}  // namespace

bool TakeUpdateVerdict(LONG taker) { return InterlockedCompareExchange(&updateVerdictTaker, taker, 0) == 0; }
