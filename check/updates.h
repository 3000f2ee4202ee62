#pragma once
#include <windows.h>

#include "check/report.h"
#include "launcher/session_settings.h"

// What a start would do about updates: "UpgradeCheck", whether this user is
// one whose starts check (administrators), and WinSparkle.dll beside the
// program as a start loads it. Returns whether this user's starts run an
// update check.
bool CheckUpdates(CheckReport& report);

// A session's feed URL as its settings formed it from "HostName" and, unless
// offline or no update check runs, what the feed answers with, fetched
// through the user's proxy settings.
void CheckSessionFeed(CheckReport& report, const wchar_t* area, const SessionSettings& settings, bool updateCheckRuns,
                      bool offline);
