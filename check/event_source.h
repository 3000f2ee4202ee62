#pragma once
#include "check/report.h"

// The event log: the ReportToEventLog policy and the "Tollbury" source.
void CheckEventLog(CheckReport& report);
