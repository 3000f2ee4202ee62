#pragma once
// The account that runs the check, which is whose route, proxy sign-in and
// rights the check finds.

#include <windows.h>

#include "check/report.h"

// Which of Windows' service accounts a string SID names: SYSTEM (S-1-5-18),
// LocalService (S-1-5-19), NetworkService (S-1-5-20); None for any other.
ServiceAccount ServiceAccountOf(const wchar_t* sid);

// The account a SID names, as "DOMAIN\name", and its kind. False, with an
// empty text, when it cannot be looked up.
bool LookUpAccount(PSID sid, wchar_t (&account)[AccountTextSize], SID_NAME_USE& use);

// A service account's Internet settings, logon and rights are its own: what
// they give is told, not something for the administrator to change.
bool RunByServiceAccount(const CheckReport& report);

// Reads the running account into the report and adds the first finding.
void CheckAccount(CheckReport& report);
