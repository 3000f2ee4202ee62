#pragma once
#include "sys/limits.h"

// Finds the client root directory ("...\Verdanto\RudAvuvav\") under the
// common application-data folder. Returns false, with an empty text, when
// the folder cannot be found or the path does not fit.
bool GetClientRootDirectory(wchar_t (&clientRoot)[PathSize]);

// Appends `name` to the directory text; false (text unchanged) when the
// result would not fit.
bool AppendToDirectory(wchar_t (&directory)[PathSize], const wchar_t* name);

// The full path of `name` in the folder of the running program. False, with
// an empty text, when it does not fit.
bool PathBesideProgram(const wchar_t* name, wchar_t (&path)[PathSize]);
