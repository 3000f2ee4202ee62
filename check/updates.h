#pragma once
#include <windows.h>

#include "check/report.h"

// What a start would do about updates: "UpgradeCheck", whether this user is
// one whose starts check (administrators), and WinSparkle.dll beside the
// program as a start loads it. Returns whether this user's starts run an
// update check.
bool CheckUpdates(CheckReport& report);

// A session's feed URL from its open key's "HostName" and, unless offline
// or no update check runs, the HTTP status the feed answers with, fetched
// through the user's proxy settings.
void CheckSessionFeed(CheckReport& report, const wchar_t* area, HKEY sessionKey, const wchar_t* sessionName,
                      bool updateCheckRuns, bool offline);
