#pragma once
#include <windows.h>

// The only state the update framework's callbacks share with the main
// thread. The finished event orders ShutdownCallback's taking of the verdict
// before the main thread looks at it; only the main thread writes the launch
// flag.

// The client is started only while this is not 0.
extern int LaunchFlag;

// Manual-reset event "WinSparkleFinished", signalled by the callbacks.
extern HANDLE FinishedEvent;

// Whether the update framework's verdict stops the start, decided once: by
// a shutdown request, or by the main thread when its wait ends otherwise
// (another callback, or none in time). A later attempt changes nothing.
constexpr LONG UpdateVerdictShutdown = 1;
constexpr LONG UpdateVerdictGoOn = 2;

// Takes the verdict for `verdict` unless it is taken; returns the one that holds.
LONG TakeUpdateVerdict(LONG verdict);
