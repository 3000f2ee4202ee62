#pragma once
// The program itself: the check's own version, tollbury.exe beside it, and
// whether each is signed by someone Windows trusts.

#include "check/report.h"

constexpr int FileVersionTextSize = 64;

// The "FileVersion" text of a file's version resource (string table
// 040904b0, as a start reads its own). False, with "", when it has none.
bool ReadFileVersionText(const wchar_t* path, wchar_t (&text)[FileVersionTextSize]);

void CheckProgram(CheckReport& report, bool offline);
