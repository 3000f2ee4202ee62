#pragma once
#include "sys/limits.h"

// Splits the process command line: "-load NAME" picks the session,
// "-no_upgrade" and "/no_upgrade" switch the update check off, and every
// other argument is handed on to the client, quoted so that the client's own
// splitting gives it back unchanged. The handed-on text takes at most
// `passThroughRoom` characters with its terminator (see PassThroughRoom);
// arguments beyond that are dropped. Fails only when the line cannot be split.
bool ParseCommandLine(wchar_t (&sessionName)[SessionNameSize], wchar_t (&passThrough)[PassThroughSize],
                      int passThroughRoom, bool& noUpgrade, bool& updateCheck);

// The same over an explicit argument vector (argv[0] is the program).
void ParseArguments(int argc, wchar_t** argv, wchar_t (&sessionName)[SessionNameSize],
                    wchar_t (&passThrough)[PassThroughSize], int passThroughRoom, bool& noUpgrade, bool& updateCheck);
