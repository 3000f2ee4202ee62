#include "launcher/update_gate.h"

#include <windows.h>

#include <cstdlib>

#include "launcher/admin_token.h"
#include "launcher/last_check.h"
#include "launcher/throttle.h"
#include "sys/debug_log.h"
#include "sys/event_log.h"
#include "sys/handle_guard.h"
#include "sys/limits.h"
#include "sys/registry.h"

namespace {

// Long enough for another start's update check on a slow network, so that
// ordinary double starts still run one after the other; a holder that takes
// longer is waiting on its user or is not one of ours, and must not keep
// every later start hanging with nothing shown.
constexpr DWORD GateMutexWaitMs = 30000;

// The holder keeps the mutex until its process ends (it owns it twice and
// releases once), so every start that meets it waits for the whole run.
bool EnterGate(HANDLE mutex) {
  const DWORD wait = WaitForSingleObject(mutex, GateMutexWaitMs);
  if (wait == WAIT_TIMEOUT) {
    ReportNextLogLine(EventUpdateGateWaitedOut, EVENTLOG_WARNING_TYPE);
    LogText(L"[tollbury] Another start has held the update gate for 30 seconds, going on without it\n");
  }
  return wait == WAIT_OBJECT_0;
}

bool CurrentUnixTime(long long& now) {
  SYSTEMTIME systemTime;
  GetSystemTime(&systemTime);
  return UnixTimeFromSystemTime(systemTime, now);
}

}  // namespace

void ReadLastCheck(LastCheckReading& reading) {
  reading = {ERROR_SUCCESS, S_OK, false, 0};
  ScopedRegKey key;
  reading.keyOpened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TollburyKeyPath, 0, KEY_READ, &key.handle);
  if (reading.keyOpened != ERROR_SUCCESS) {
    key.handle = nullptr;
    LogText(L"[tollbury] Registry is missing Tollbury info.\n");
    return;
  }
  wchar_t* text = nullptr;
  reading.valueRead = ReadRegistryString(key.handle, L"LastCheck", &text);
  if (FAILED(reading.valueRead)) return;
  reading.value = LastCheckFromText(text, &reading.isNumber);
  std::free(text);
}

namespace {

// A failed write is not reported: the next start simply is not throttled.
void WriteLastCheck(long long now) {
  ScopedRegKey key;
  if (OpenTollburyKeyToRecord(key.handle) != ERROR_SUCCESS) return;
  wchar_t text[LastCheckTextSize];
  const int length = FormatLastCheck(now, text);
  RegSetValueExW(key.handle, L"LastCheck", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>((length + 1) * sizeof(wchar_t)));
}

void Throttle(bool& updateCheck, bool& singleUser, int& launchFlag) {
  if (singleUser) launchFlag = 0;
  updateCheck = false;
  singleUser = false;
}

void ApplyVerdict(ThrottleVerdict verdict, long long now, bool& updateCheck, bool& singleUser, int& launchFlag) {
  switch (verdict) {
    case ThrottleVerdict::Throttled:
      Throttle(updateCheck, singleUser, launchFlag);
      break;
    case ThrottleVerdict::PassedClockSetBack:
      LogText(L"[tollbury] LastCheck lies in the future, the clock was set back; not throttled\n");
      WriteLastCheck(now);
      break;
    case ThrottleVerdict::Passed:
      WriteLastCheck(now);
      break;
    case ThrottleVerdict::PassedTimeUnknown:
      LogText(L"[tollbury] Cannot read the current time; this start is neither throttled nor recorded\n");
      break;
  }
}

}  // namespace

void PassUpdateGate(bool& updateCheck, bool& singleUser, int& launchFlag) {
  // Without a mutex (the name is held by an object we may not open) the
  // section runs unprotected.
  ScopedKernelHandle mutex(CreateMutexW(nullptr, TRUE, L"Global\\RudAvuvavTollbury"));
  const bool acquired = mutex.handle != nullptr && EnterGate(mutex.handle);

  long long now = 0;
  const bool nowKnown = CurrentUnixTime(now);
  LastCheckReading lastCheck;
  ReadLastCheck(lastCheck);
  ApplyVerdict(DecideThrottle(nowKnown, now, lastCheck.value), now, updateCheck, singleUser, launchFlag);

  if (acquired) ReleaseMutex(mutex.handle);
}

// KEY_SET_VALUE alone: it is all the package grants standard users on the
// key, and KEY_WRITE would also ask for the right to create subkeys.
LSTATUS OpenTollburyKeyToRecord(HKEY& key) {
  key = nullptr;
  const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TollburyKeyPath, 0, KEY_SET_VALUE, &key);
  if (opened != ERROR_SUCCESS) key = nullptr;
  return opened;
}

bool IsUserAdministrator() {
  ScopedKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token.handle)) {
    token.handle = nullptr;
    return false;
  }
  return IsTokenAdministrator(token.handle);
}
