#pragma once
// Failures reported to the Application event log, source "Tollbury", when
// the policy value ReportToEventLog is on. Off (the default), nothing here
// calls the event log. Each event ID is reported at most once per start; a
// report that fails is dropped. Event IDs come from resources/events.mc.

#include <windows.h>

#include "events.h"

// Reports the next debug-output line, from its next piece to the one that
// ends it with "\n", as event `eventId` of `type` (EVENTLOG_ERROR_TYPE or
// EVENTLOG_WARNING_TYPE), without its "[tollbury] " prefix. One call just
// before the line is logged.
void ReportNextLogLine(DWORD eventId, WORD type);

// Reports a text that no debug-output line carries (a box's text, say).
void ReportFailure(DWORD eventId, WORD type, const wchar_t* text);

// The same with a number between two texts.
void ReportFailureNumber(DWORD eventId, WORD type, const wchar_t* before, long long number, const wchar_t* after);

// Whether the policy value ReportToEventLog asks for reports, read as the
// first report of a start reads it.
bool ReadReportPolicy();

// Keeps every later report of this process out of the event log: a program
// that only looks at the machine records nothing.
void DisableEventReports();

// Called by the debug log with each piece it writes.
void NoteLogPiece(const wchar_t* piece);
