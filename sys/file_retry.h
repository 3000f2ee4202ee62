#pragma once
// Antivirus, backup and indexing agents open files for a moment without
// sharing them. An operation that meets such a hold is tried again for a
// short, bounded time before its failure counts.

#include <windows.h>

// Which failures count as another process's passing hold.
enum class HoldErrors { SharingOnly, SharingOrAccessDenied };

// Longest total wait, in milliseconds, before a held file counts as failed.
constexpr DWORD FileHoldBudgetMs = 350;

// Called after an attempt failed with `error`; `attempt` starts at 0. Waits
// before the next attempt and returns true while `error` is a passing hold
// and the budget lasts; otherwise returns false at once.
bool WaitForFileHold(DWORD error, HoldErrors holds, int& attempt);
