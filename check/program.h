#pragma once
// The program itself: the check's own version, tollbury.exe beside it, and
// whether each is signed by someone Windows trusts.

#include "check/report.h"

constexpr int FileVersionTextSize = 64;

// The "FileVersion" text of a file's version resource (string table
// 040904b0, as a start reads its own). False, with "", when it has none.
bool ReadFileVersionText(const wchar_t* path, wchar_t (&text)[FileVersionTextSize]);

constexpr int ProgramVersionSize = 24;  // "65535.65535.65535.65535"

// The file version of a file's fixed version information, as 3.6.2.0. False,
// with "", when it has none.
bool ReadProgramVersion(const wchar_t* path, wchar_t (&text)[ProgramVersionSize]);

void CheckProgram(CheckReport& report, bool offline);
