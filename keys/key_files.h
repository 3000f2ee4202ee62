#pragma once
// The session's two key files in the client root directory.

#include "sys/limits.h"

// Builds "<clientRoot><session>-key.ppk" and "<clientRoot><session>-upload-key.ppk";
// `clientRoot` ends in a backslash. Returns false, with both texts empty,
// when either path would not fit PathSize: a cut path would name another file.
bool BuildKeyFilePaths(const wchar_t* clientRoot, const wchar_t* sessionName, wchar_t (&keyPath)[PathSize],
                       wchar_t (&uploadKeyPath)[PathSize]);

// Replaces the file at `path` with exactly `count` bytes. The bytes go to a
// temporary file in the same directory first, which then takes the old
// file's place in one step, so a failure leaves the old file as it was.
// Returns 0, or the Windows error code of the call that failed.
unsigned long ReplaceFileContents(const wchar_t* path, const void* bytes, unsigned long count);
