#pragma once
#include "sys/limits.h"

// Room for the handed-on arguments, in characters with the terminator, when
// the client is started from the newest version directory: the command line
// that reaches the client is its quoted path, a space, then the arguments.
int PassThroughRoom(const wchar_t* clientRoot, const wchar_t* newestName);

// Forms the version directory (from the client root directory that
// `launchDirectory` holds on entry) and the client's whole path in it. False
// when either is empty or would be cut.
bool FormClientPath(wchar_t (&launchDirectory)[PathSize], const wchar_t* newestName, wchar_t (&clientPath)[PathSize]);

// Starts rudavuvav.exe from the newest version directory with the handed-on
// arguments. `launchDirectory` holds the client root directory on entry and
// the launch directory afterwards. A command line too long for ShellExecuteW
// goes to CreateProcessW; should that need elevation, `passThrough` is cut
// to the whole arguments ShellExecuteW takes.
void LaunchClient(wchar_t (&launchDirectory)[PathSize], const wchar_t* newestName,
                  wchar_t (&passThrough)[PassThroughSize]);
