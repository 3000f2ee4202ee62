// The throttle rule and the clock conversion it is fed with.

#include "launcher/throttle.h"

#include <climits>

#include <gtest/gtest.h>

#include "launcher/update_wait.h"

namespace {

struct VerdictCase {
  const char* what;
  bool nowKnown;
  long long now;
  long long lastCheck;
  ThrottleVerdict expected;
};

TEST(Throttle, Verdicts) {
  const VerdictCase cases[] = {
      {"same second", true, 1700000000, 1700000000, ThrottleVerdict::Throttled},
      {"one second later", true, 1700000001, 1700000000, ThrottleVerdict::Throttled},
      {"two seconds later", true, 1700000002, 1700000000, ThrottleVerdict::Passed},
      {"never checked", true, 1700000000, 0, ThrottleVerdict::Passed},
      {"one second in the future", true, 1700000000, 1700000001, ThrottleVerdict::PassedClockSetBack},
      {"far in the future", true, 1700000000, LLONG_MAX, ThrottleVerdict::PassedClockSetBack},
      {"far below zero, no overflow", true, 1700000000, LLONG_MIN, ThrottleVerdict::Passed},
      {"both extremes, no overflow", true, LLONG_MAX, LLONG_MIN, ThrottleVerdict::Passed},
      {"one below zero", true, 0, -1, ThrottleVerdict::Throttled},
      {"clock before 1970", true, -5, 0, ThrottleVerdict::PassedClockSetBack},
      {"no current time, recent check", false, -1, -1, ThrottleVerdict::PassedTimeUnknown},
      {"no current time, no check", false, -1, 0, ThrottleVerdict::PassedTimeUnknown},
      {"no current time, old check", false, -1, LLONG_MIN, ThrottleVerdict::PassedTimeUnknown},
  };
  for (const VerdictCase& c : cases) {
    EXPECT_EQ(c.expected, DecideThrottle(c.nowKnown, c.now, c.lastCheck)) << c.what;
  }
}

TEST(UpdateWait, Verdicts) {
  const unsigned long long start = 5000000;  // a tick count some while after boot
  const struct {
    const char* what;
    long long windowAt;
    bool callback, windowNow;
    long long now;  // ms after the start; -1: none
    UpdateWaitVerdict expected;
  } cases[] = {{"callback at once", -1, true, false, 0, UpdateWaitVerdict::Answered},
               {"no window yet, 59.999 s", -1, false, false, 59999, UpdateWaitVerdict::KeepWaiting},
               {"no window until 60 s", -1, false, false, 60000, UpdateWaitVerdict::GiveUp},
               {"window shown for an hour", 3600000, false, true, 3600250, UpdateWaitVerdict::KeepWaiting},
               {"window seen at 59 s, none at 60 s", 59000, false, false, 60000, UpdateWaitVerdict::KeepWaiting},
               {"window closed 9 s ago", 2000, false, false, 11000, UpdateWaitVerdict::KeepWaiting},
               {"window closed 10 s ago", 2000, false, false, 12000, UpdateWaitVerdict::GiveUp}};
  for (const auto& c : cases) {
    UpdateWaitTimes times = {start, false, 0};
    if (c.windowAt >= 0) DecideUpdateWait(times, false, true, start + c.windowAt);
    EXPECT_EQ(c.expected, DecideUpdateWait(times, c.callback, c.windowNow, start + c.now)) << c.what;
  }
}

struct ClockCase {
  SYSTEMTIME time;  // year, month, day of week, day, hour, minute, second, ms
  bool valid;
  long long seconds;
};

TEST(Throttle, UnixTimeFromSystemTime) {
  const ClockCase cases[] = {
      {{1970, 1, 4, 1, 0, 0, 0, 0}, true, 0},
      {{1970, 1, 4, 1, 0, 0, 1, 999}, true, 1},  // milliseconds are cut, not rounded
      {{2001, 9, 0, 9, 1, 46, 40, 0}, true, 1000000000},
      {{2038, 1, 2, 19, 3, 14, 8, 0}, true, 2147483648LL},
      {{1969, 12, 3, 31, 23, 59, 59, 0}, true, -1},
      {{1601, 1, 1, 1, 0, 0, 0, 0}, true, -11644473600LL},
      {{2024, 13, 0, 1, 0, 0, 0, 0}, false, 0},
      {{2024, 1, 0, 1, 24, 0, 0, 0}, false, 0},
      {{2024, 1, 0, 1, 0, 0, 0, 1000}, false, 0},
  };
  for (const ClockCase& c : cases) {
    long long seconds = 12345;
    const bool valid = UnixTimeFromSystemTime(c.time, seconds);
    EXPECT_EQ(c.valid, valid) << c.time.wYear << "-" << c.time.wMonth << "-" << c.time.wDay;
    if (c.valid && valid) {
      EXPECT_EQ(c.seconds, seconds) << c.time.wYear;
    }
  }
}

}  // namespace
