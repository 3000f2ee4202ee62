// When the wait for the update framework's verdict gives up.

#include <gtest/gtest.h>

#include "launcher/update_wait.h"

namespace {

TEST(UpdateWait, Verdicts) {
  constexpr unsigned long long start = 5000000;  // a tick count some while after boot
  constexpr long long none = -1;
  struct Case {
    const char* what;
    long long windowAt;  // ms after the start a window was last seen, or none
    bool callback;
    bool windowNow;
    long long now;  // ms after the start
    UpdateWaitVerdict expected;
  };
  const Case cases[] = {
      {"callback at once", none, true, false, 0, UpdateWaitVerdict::Answered},
      {"callback after the bound", none, true, false, 600000, UpdateWaitVerdict::Answered},
      {"callback while a window shows", 1000, true, true, 2000, UpdateWaitVerdict::Answered},
      {"no window yet, 59.999 s", none, false, false, 59999, UpdateWaitVerdict::KeepWaiting},
      {"no window until 60 s", none, false, false, 60000, UpdateWaitVerdict::GiveUp},
      {"window shown for an hour", 3600000, false, true, 3600250, UpdateWaitVerdict::KeepWaiting},
      {"window first shown after 59 s", none, false, true, 59000, UpdateWaitVerdict::KeepWaiting},
      {"window seen at 59 s, none at 60 s", 59000, false, false, 60000, UpdateWaitVerdict::KeepWaiting},
      {"window seen at 59 s, none at 69 s", 59000, false, false, 69000, UpdateWaitVerdict::GiveUp},
      {"window closed 9 s ago", 2000, false, false, 11000, UpdateWaitVerdict::KeepWaiting},
      {"window closed 10 s ago", 2000, false, false, 12000, UpdateWaitVerdict::GiveUp},
      {"clock read just before the start", none, false, false, -1, UpdateWaitVerdict::KeepWaiting},
  };
  for (const Case& c : cases) {
    UpdateWaitTimes times = {start, false, 0};
    if (c.windowAt != none) DecideUpdateWait(times, false, true, start + c.windowAt);
    EXPECT_EQ(c.expected, DecideUpdateWait(times, c.callback, c.windowNow, start + c.now)) << c.what;
  }
}

}  // namespace
