#pragma once
#include <windows.h>

// Serialises starts on the global mutex and throttles a start that comes
// within a second of the last recorded check: no update check, no key
// provisioning, and for a single-user session no client start.
void PassUpdateGate(bool& updateCheck, bool& singleUser, int& launchFlag);

// True when the user's token, or the linked full token of a limited one, is
// a member of the built-in Administrators group.
bool IsUserAdministrator();

// "LastCheck" as the gate reads it. `keyOpened` is the result of opening the
// Tollbury key, `valueRead` that of reading the value (S_OK when read);
// `value` is 0 unless both succeeded, and `isNumber` says whether the
// conversion took the whole text.
struct LastCheckReading {
  LSTATUS keyOpened;
  HRESULT valueRead;
  bool isNumber;
  long long value;
};
void ReadLastCheck(LastCheckReading& reading);

// Opens the Tollbury key with the one right that recording "LastCheck"
// needs. Returns the registry's result; the caller closes the key.
LSTATUS OpenTollburyKeyToRecord(HKEY& key);
