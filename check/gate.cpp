#include "check/gate.h"

#include <windows.h>

#include "check/account.h"
#include "launcher/throttle.h"
#include "launcher/update_gate.h"
#include "sys/handle_guard.h"

namespace {

constexpr wchar_t Area[] = L"gate";

void CheckLastCheckValue(CheckReport& report, const LastCheckReading& reading) {
  if (reading.valueRead == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
    AddFinding(report, FindingStatus::Ok, Area, L"LastCheck is not set yet: no start has recorded one");
    return;
  }
  if (FAILED(reading.valueRead)) {
    AddFinding(report, FindingStatus::Warn, Area,
               L"LastCheck cannot be read as a REG_SZ value (0x%08lX): starts are never throttled; delete the "
               L"value, the next start writes it anew",
               static_cast<unsigned long>(reading.valueRead));
    return;
  }
  if (!reading.isNumber) {
    AddFinding(report, FindingStatus::Warn, Area,
               L"LastCheck is not a decimal number (a start reads it as %lld); delete the value, the next start "
               L"writes it anew",
               reading.value);
    return;
  }
  SYSTEMTIME systemTime;
  GetSystemTime(&systemTime);
  long long now = 0;
  const bool nowKnown = UnixTimeFromSystemTime(systemTime, now);
  if (DecideThrottle(nowKnown, now, reading.value) == ThrottleVerdict::PassedClockSetBack) {
    AddFinding(report, FindingStatus::Warn, Area,
               L"LastCheck %lld lies %lld seconds in the future: the clock was set back; the next start that "
               L"may record it puts it right",
               reading.value, reading.value - now);
    return;
  }
  if (reading.value <= 0)
    AddFinding(report, FindingStatus::Ok, Area, L"LastCheck is %lld: no check recorded yet", reading.value);
  else
    AddFinding(report, FindingStatus::Ok, Area, L"LastCheck %lld, %lld seconds ago", reading.value,
               nowKnown ? now - reading.value : 0);
}

}  // namespace

void CheckGate(CheckReport& report) {
  LastCheckReading reading;
  ReadLastCheck(reading);
  if (reading.keyOpened != ERROR_SUCCESS) {
    AddFinding(report, FindingStatus::Warn, Area,
               L"the key HKLM\\SOFTWARE\\Verdanto\\Client\\Tollbury cannot be read (error %ld): starts are never "
               L"throttled and UpgradeCheck counts as on; reinstall the package",
               static_cast<long>(reading.keyOpened));
    return;
  }
  CheckLastCheckValue(report, reading);
  ScopedRegKey key;
  const LSTATUS opened = OpenTollburyKeyToRecord(key.handle);
  if (opened == ERROR_SUCCESS) {
    AddFinding(report, FindingStatus::Ok, Area,
               L"this user may set LastCheck (the right was asked for; nothing written)");
  } else if (RunByServiceAccount(report)) {
    AddFinding(report, FindingStatus::Ok, Area,
               L"this account may not set LastCheck (error %ld); that is this account's right, not a user's",
               static_cast<long>(opened));
  } else {
    AddFinding(report, FindingStatus::Warn, Area,
               L"this user may not set LastCheck (error %ld): double starts are not throttled; grant Users the "
               L"Set Value right on HKLM\\SOFTWARE\\Verdanto\\Client\\Tollbury, as the package does",
               static_cast<long>(opened));
  }
}
