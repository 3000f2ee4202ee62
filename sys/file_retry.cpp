#include "sys/file_retry.h"

namespace {

// Short first waits catch the common hold of a few milliseconds; their sum
// is FileHoldBudgetMs.
constexpr DWORD WaitsMs[] = {10, 20, 40, 80, 100, 100};
constexpr int WaitCount = static_cast<int>(sizeof(WaitsMs) / sizeof(WaitsMs[0]));

constexpr DWORD TotalWaitMs() {
  DWORD total = 0;
  for (DWORD wait : WaitsMs) total += wait;
  return total;
}
static_assert(TotalWaitMs() == FileHoldBudgetMs, "the waits must add up to the budget");

bool IsPassingHold(DWORD error, HoldErrors holds) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
  return holds == HoldErrors::SharingOrAccessDenied && error == ERROR_ACCESS_DENIED;
}

}  // namespace

bool WaitForFileHold(DWORD error, HoldErrors holds, int& attempt) {
  if (!IsPassingHold(error, holds) || attempt < 0 || attempt >= WaitCount) return false;
  Sleep(WaitsMs[attempt]);
  ++attempt;
  return true;
}
