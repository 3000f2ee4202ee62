#pragma once
#include "check/report.h"

// The installed client: the root directory, every version directory with
// its rank, and the one a start would launch.
void CheckClient(CheckReport& report);
