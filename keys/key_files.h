#pragma once
// The session's two key files in the client root directory.

#include <windows.h>

#include "sys/limits.h"

// Builds "<clientRoot><session>-key.ppk" and "<clientRoot><session>-upload-key.ppk";
// `clientRoot` ends in a backslash. Returns false, with both texts empty,
// when either path would not fit PathSize: a cut path would name another file.
bool BuildKeyFilePaths(const wchar_t* clientRoot, const wchar_t* sessionName, wchar_t (&keyPath)[PathSize],
                       wchar_t (&uploadKeyPath)[PathSize]);

// The access list every new key file is created with: full control for the
// user running the program, SYSTEM and Administrators, nothing for anyone
// else, and protected, so that nothing inheritable from the folder (which
// every local user may read) is merged in. `descriptor` points into `acl`.
struct PrivateFileSecurity {
  SECURITY_DESCRIPTOR descriptor;
  DWORD acl[128];  // DWORDs keep the list aligned; three entries need at most 236 bytes
};
// Returns 0, or the Windows error code of the call that failed.
unsigned long BuildPrivateFileSecurity(PrivateFileSecurity& security);

// Writes exactly `count` bytes to a new temporary file in the directory of
// `path` and names it in `temporary`, created with the private access list
// above: a key is a secret.
// Returns 0, or the Windows error code of the call that failed; then no
// temporary file remains and `temporary` is empty.
unsigned long StageFileContents(const wchar_t* path, const void* bytes, unsigned long count,
                                wchar_t (&temporary)[PathSize]);

// Moves a staged temporary file over `path` in one step. A file that another
// process holds for a moment is waited for (at most FileHoldBudgetMs).
// Returns 0, or the Windows error code; on failure the temporary file is
// deleted and the old file is as it was.
unsigned long CommitStagedFile(const wchar_t* temporary, const wchar_t* path);

// Deletes a staged temporary file that will not be committed.
void DiscardStagedFile(const wchar_t* temporary);

// Deletes the staged files in the directory of `path` that are older than
// any start can still be writing: a failed move whose temporary file could
// not be deleted either leaves a whole or partial key behind. Returns how
// many were deleted.
int RemoveLeftoverStagedFiles(const wchar_t* path);

// Stages and commits in one call: replaces the file at `path` with exactly
// `count` bytes, or leaves it as it was.
unsigned long ReplaceFileContents(const wchar_t* path, const void* bytes, unsigned long count);
