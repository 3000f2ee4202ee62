#pragma once
#include "launcher/limits.h"

// Finds the client root directory ("...\Verdanto\RudAvuvav\") under the
// common application-data folder. Returns false, with an empty text, when
// the folder cannot be found or the path does not fit.
bool GetClientRootDirectory(wchar_t (&clientRoot)[PathSize]);

// Starts rudavuvav.exe from the newest version directory with the handed-on
// arguments. `launchDirectory` holds the client root directory on entry and
// the launch directory afterwards.
void LaunchClient(wchar_t (&launchDirectory)[PathSize], const wchar_t* newestName, const wchar_t* passThrough);

// Appends `name` to the directory text; false (text unchanged) when the
// result would not fit.
bool AppendToDirectory(wchar_t (&directory)[PathSize], const wchar_t* name);
