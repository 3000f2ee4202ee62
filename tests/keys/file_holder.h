#pragma once
// Runs hold_file.exe (beside the test program): another process that holds a
// file without sharing, as antivirus and backup agents do.

#include <windows.h>

#include <string>

struct FileHolder {
  HANDLE process = nullptr;
};

// Returns once the helper holds `path` (or has failed to); it lets go after
// `milliseconds`.
FileHolder HoldFile(const std::wstring& path, DWORD milliseconds);
// True while the helper still holds the file.
bool StillHeld(const FileHolder& holder);
// Waits for the helper to let go (ending it when `now`); returns its exit
// code: 0 when it really held the file.
DWORD ReleaseFile(FileHolder& holder, bool now = false);
