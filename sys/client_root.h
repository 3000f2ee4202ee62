#pragma once
#include "sys/limits.h"

// Finds the client root directory ("...\Verdanto\RudAvuvav\") under the
// common application-data folder. Returns false, with an empty text, when
// the folder cannot be found or the path does not fit.
bool GetClientRootDirectory(wchar_t (&clientRoot)[PathSize]);

// Appends `name` to the directory text; false (text unchanged) when the
// result would not fit.
bool AppendToDirectory(wchar_t (&directory)[PathSize], const wchar_t* name);
