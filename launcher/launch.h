#pragma once
#include "sys/limits.h"

// Starts rudavuvav.exe from the newest version directory with the handed-on
// arguments. `launchDirectory` holds the client root directory on entry and
// the launch directory afterwards.
void LaunchClient(wchar_t (&launchDirectory)[PathSize], const wchar_t* newestName, const wchar_t* passThrough);
