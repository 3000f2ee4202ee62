#pragma once
#include "sys/limits.h"

// Clears `updateCheck` unless "UpgradeCheck" under the Tollbury key is
// exactly "1"; a missing key or value leaves it set.
void ReadUpgradeCheck(bool& updateCheck);

// Forms the session's registry key path and reads whether the session is a
// single-user one and, if so, the https URL of its key service.
void ReadSessionSettings(const wchar_t* sessionName, wchar_t (&sessionKeyPath)[SessionKeyPathSize],
                         bool& singleUser, wchar_t (&serviceUrl)[ServiceUrlSize]);
