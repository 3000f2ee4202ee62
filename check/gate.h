#pragma once
#include "check/report.h"

// The update gate: the Tollbury key, "LastCheck", and whether this user may
// record it. Asks for the right to set values and writes nothing.
void CheckGate(CheckReport& report);
