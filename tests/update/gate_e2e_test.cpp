// The update gate through the real tollbury.exe: the throttle on
// "LastCheck", the global mutex, and the options that switch the check off.

#include <set>

#include <gtest/gtest.h>

#include "sys/handle_guard.h"
#include "tests/update/e2e_helpers.h"

namespace {

const wchar_t* const ClockSetBackLine =
    L"[tollbury] LastCheck lies in the future, the clock was set back; not throttled";
const wchar_t* const MissingTollburyLine = L"[tollbury] Registry is missing Tollbury info.";
constexpr int Attempts = 5;

class Gate : public ::testing::Test {
 protected:
  void SetUp() override { SetUpCheckingMachine(); }
};

// Whether a start whose gate ran at `gateTime` is throttled by `lastCheck`.
bool ThrottledAt(long long gateTime, long long lastCheck) { return lastCheck <= gateTime && gateTime - 1 <= lastCheck; }

// True when every second in [from, to] gives the same verdict, so that the
// run's outcome is known although the gate's exact second is not.
bool VerdictPinnedDown(long long from, long long to, long long lastCheck) {
  if (to - from > 3) return false;
  for (long long t = from; t <= to; ++t) {
    if (ThrottledAt(t, lastCheck) != ThrottledAt(from, lastCheck)) return false;
  }
  return true;
}

void ExpectPassedAndRecorded(const LauncherRun& run, long long from, long long to) {
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_TRUE(HasLine(run, CheckingLine)) << Dump(run);
  EXPECT_TRUE(HasLine(run, LaunchingLine)) << Dump(run);
  EXPECT_TRUE(StandInRecordExists());
  const long long recorded = LastCheckValue();
  EXPECT_LE(from, recorded);
  EXPECT_GE(to, recorded);
}

TEST_F(Gate, LastCheckDecidesTheThrottle) {
  struct Case {
    const char* what;
    long long secondsAgo;  // LastCheck is the current second minus this...
    const wchar_t* text;   // ...unless a text is given
    bool throttled;
    bool clockSetBack;
  };
  const Case cases[] = {
      {"0 seconds ago", 0, nullptr, true, false},
      {"1 second ago", 1, nullptr, true, false},
      {"2 seconds ago", 2, nullptr, false, false},
      {"in the future", -100, nullptr, false, true},
      {"abc", 0, L"abc", false, false},
      {"far below zero", 0, L"-9223372036854775808", false, false},
      {"beyond the 64-bit range", 0, L"99999999999999999999", false, true},
      {"empty", 0, L"", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bool pinned = false;
    for (int attempt = 0; attempt < Attempts && !pinned; ++attempt) {
      SetUpCheckingMachine();
      WaitForFreshSecond();
      const long long before = UnixNow();
      const std::wstring lastCheck = c.text != nullptr ? std::wstring(c.text) : std::to_wstring(before - c.secondsAgo);
      SetRegString(TollburyKey, L"LastCheck", lastCheck);
      const LauncherRun run = RunLauncher(L"");
      const long long after = UnixNow();
      const long long lastValue = _wcstoi64(lastCheck.c_str(), nullptr, 10);
      if (!VerdictPinnedDown(before, after, lastValue)) continue;
      pinned = true;

      ASSERT_TRUE(run.finished);
      ASSERT_EQ(c.throttled, ThrottledAt(before, lastValue));
      if (c.throttled) {
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ((Lines{LaunchingLine}), ProgramLines(run)) << Dump(run);
        EXPECT_EQ(lastCheck, LastCheckText());
        EXPECT_FALSE(StandInRecordExists());
      } else {
        ExpectPassedAndRecorded(run, before, after);
        EXPECT_EQ(c.clockSetBack, HasLine(run, ClockSetBackLine)) << Dump(run);
      }
      ClientRecord record;
      EXPECT_TRUE(WaitForClientRecord(L"2.4.1", record));
    }
    EXPECT_TRUE(pinned) << "no run finished within the second it began in " << Attempts << " attempts";
  }
}

TEST_F(Gate, SecondStartWithinASecondIsThrottled) {
  for (const bool singleUser : {false, true}) {
    SCOPED_TRACE(singleUser ? "single-user" : "multi-user");
    bool conclusive = false;
    for (int attempt = 0; attempt < Attempts && !conclusive; ++attempt) {
      SetUpCheckingMachine();
      if (singleUser) MakeSingleUser();
      WaitForFreshSecond();
      const LauncherRun first = RunLauncher(L"");
      const long long firstGate = LastCheckValue();
      AddVersionDir(L"9.0.0");  // only a second start that launches would use it
      const LauncherRun second = RunLauncher(L"");
      if (UnixNow() - firstGate > 1) continue;
      conclusive = true;

      ASSERT_TRUE(first.finished);
      ASSERT_TRUE(second.finished);
      EXPECT_TRUE(HasLine(first, CheckingLine)) << Dump(first);
      EXPECT_EQ(singleUser, HasLine(first, SingleUserLine)) << Dump(first);
      EXPECT_EQ(0u, second.exitCode);
      EXPECT_EQ(firstGate, LastCheckValue());
      std::set<DWORD> checkingProcesses;
      for (const StandInEvent& event : StandInEvents()) checkingProcesses.insert(event.processId);
      EXPECT_EQ(1u, checkingProcesses.size());
      ClientRecord record;
      if (singleUser) {
        EXPECT_EQ(Lines{}, ProgramLines(second)) << Dump(second);
        EXPECT_FALSE(WaitForClientRecord(L"9.0.0", record, 1500));
      } else {
        EXPECT_EQ((Lines{LaunchingLine}), ProgramLines(second)) << Dump(second);
        EXPECT_TRUE(WaitForClientRecord(L"9.0.0", record));
      }
    }
    EXPECT_TRUE(conclusive) << "no pair of starts came within a second in " << Attempts << " attempts";
  }
}

// Started together, two starts never check at the same time: either the
// second meets the first inside its gate and waits until the first has
// ended, or it comes after the gate and is throttled.
TEST_F(Gate, TwoStartsTogetherNeverCheckAtOnce) {
  SetStandInDelay(2000);
  PendingLauncher one = StartLauncher(L"");
  PendingLauncher two = StartLauncher(L"");
  const LauncherRun runOne = FinishLauncher(one, 60000);
  const LauncherRun runTwo = FinishLauncher(two, 60000);
  ASSERT_TRUE(runOne.finished);
  ASSERT_TRUE(runTwo.finished);
  EXPECT_EQ(0u, runOne.exitCode);
  EXPECT_EQ(0u, runTwo.exitCode);
  SCOPED_TRACE(Dump(runOne) + "----\n" + Dump(runTwo));

  const std::vector<StandInEvent> events = StandInEvents();
  const std::vector<std::string> oneCheck =
      ExpectedStandInCalls("updates.verdanto.test", "2.4.1", {"answer did_not_find_update"});
  const int checks = (HasLine(runOne, CheckingLine) ? 1 : 0) + (HasLine(runTwo, CheckingLine) ? 1 : 0);
  ASSERT_EQ(checks * oneCheck.size(), events.size());
  ASSERT_LE(1, checks);
  if (checks == 1) {
    const LauncherRun& throttled = HasLine(runOne, CheckingLine) ? runTwo : runOne;
    EXPECT_EQ((Lines{LaunchingLine}), ProgramLines(throttled));
  }
  for (size_t i = 0; i < events.size(); ++i) {
    const size_t block = i / oneCheck.size();
    EXPECT_EQ(events[block * oneCheck.size()].processId, events[i].processId) << "event " << i;
    EXPECT_EQ(oneCheck[i % oneCheck.size()], events[i].text) << "event " << i;
  }
  if (checks == 2) {
    EXPECT_NE(events.front().processId, events.back().processId);
  }
}

// Owns the global mutex the way a start does (created owned, waited on,
// released once) and keeps it until told to end its thread, which abandons
// it.
struct GateHolder {
  HANDLE mutex = nullptr;
  HANDLE holding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE end = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

DWORD WINAPI HoldGate(void* param) {
  GateHolder* holder = static_cast<GateHolder*>(param);
  holder->mutex = CreateMutexW(nullptr, TRUE, L"Global\\RudAvuvavTollbury");
  if (WaitForSingleObject(holder->mutex, 0) == WAIT_OBJECT_0) ReleaseMutex(holder->mutex);
  SetEvent(holder->holding);
  WaitForSingleObject(holder->end, 60000);
  return 0;
}

TEST_F(Gate, StartWaitsUntilTheStartOwningTheMutexHasEnded) {
  GateHolder holder;
  ScopedKernelHandle thread(CreateThread(nullptr, 0, HoldGate, &holder, 0, nullptr));
  ASSERT_NE(nullptr, thread.handle);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder.holding, 10000));

  const ULONGLONG started = GetTickCount64();
  PendingLauncher pending = StartLauncher(L"");
  Sleep(2000);
  const bool stillWaiting = WaitForSingleObject(pending.process, 0) == WAIT_TIMEOUT;
  const bool checkedMeanwhile = StandInRecordExists();
  SetEvent(holder.end);
  WaitForSingleObject(thread.handle, 10000);
  const LauncherRun run = FinishLauncher(pending, 60000);
  const ULONGLONG waited = GetTickCount64() - started;
  CloseHandle(holder.mutex);
  CloseHandle(holder.holding);
  CloseHandle(holder.end);

  EXPECT_TRUE(stillWaiting);
  EXPECT_FALSE(checkedMeanwhile);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_EQ((Lines{CheckingLine, WaitingLine, GotSignalLine, LaunchingLine}),
            WithCallbackLineInPlace(ProgramLines(run), NoUpdateLine))
      << Dump(run);
  EXPECT_TRUE(StandInRecordExists());
  EXPECT_LT(waited, 25000u) << "the start ran into the time limit instead of going on when the owner ended";
}

TEST_F(Gate, MutexHeldElsewhereDelaysTheStartOnlyForAWhile) {
  ScopedKernelHandle holder(CreateMutexW(nullptr, TRUE, L"Global\\RudAvuvavTollbury"));
  ASSERT_NE(nullptr, holder.handle);
  ASSERT_NE(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());

  const ULONGLONG started = GetTickCount64();
  const LauncherRun run = RunLauncher(L"", 120000);
  const ULONGLONG waited = GetTickCount64() - started;
  ReleaseMutex(holder.handle);

  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0u, run.exitCode);
  const Lines lines = ProgramLines(run);
  ASSERT_FALSE(lines.empty()) << Dump(run);
  EXPECT_EQ(L"[tollbury] Another start has held the update gate for 30 seconds, going on without it", lines.front());
  EXPECT_TRUE(HasLine(run, CheckingLine)) << Dump(run);
  EXPECT_TRUE(HasLine(run, LaunchingLine)) << Dump(run);
  EXPECT_GE(waited, 25000u) << "the start did not wait for the mutex";
}

TEST_F(Gate, NoUpgradeOptionsSkipTheCheckButRecordTheStart) {
  for (const wchar_t* option : {L"-no_upgrade", L"/no_upgrade"}) {
    SCOPED_TRACE(WideToUtf8(option));
    SetUpCheckingMachine();
    const long long before = UnixNow();
    const LauncherRun run = RunLauncher(option);
    const long long after = UnixNow();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ((Lines{LaunchingLine}), ProgramLines(run)) << Dump(run);
    EXPECT_FALSE(StandInRecordExists());
    const long long recorded = LastCheckValue();
    EXPECT_LE(before, recorded);
    EXPECT_GE(after, recorded);
    ClientRecord record;
    ASSERT_TRUE(WaitForClientRecord(L"2.4.1", record));
    EXPECT_TRUE(record.args.empty());
  }
}

// Without the Tollbury key the check stays wanted and nothing is recorded;
// both readers of the key say so.
TEST_F(Gate, MissingTollburyKeyNeverThrottles) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, TollburyKey);
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start == 0 ? "first start" : "second start");
    DeleteFileW((InstallDir() + L"WinSparkleCalls.txt").c_str());
    const LauncherRun run = RunLauncher(L"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(
        (Lines{MissingTollburyLine, MissingTollburyLine, CheckingLine, WaitingLine, GotSignalLine, LaunchingLine}),
        WithCallbackLineInPlace(ProgramLines(run), NoUpdateLine))
        << Dump(run);
    EXPECT_TRUE(StandInRecordExists());
    EXPECT_EQ(L"(none)", LastCheckText());
  }
}

}  // namespace
