#pragma once
#include "check/report.h"

// Every session under "sessions" (and "vrd", which a start without -load
// uses, when it is missing), or only `onlySession` when given: its settings,
// its key files and its key service.
void CheckSessions(CheckReport& report, const wchar_t* onlySession, bool updateCheckRuns, bool offline);
