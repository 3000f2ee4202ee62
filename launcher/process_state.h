#pragma once
#include <windows.h>

// The only state the update framework's callbacks share with the main
// thread. The finished event orders ShutdownCallback's store to the launch
// flag before the main thread reads it.

// The client is started only while this is not 0.
extern int LaunchFlag;

// Manual-reset event "WinSparkleFinished", signalled by the callbacks.
extern HANDLE FinishedEvent;

// Who decided how a start goes on after its update check: the first to take
// the verdict, a shutdown request or the main thread giving up the wait,
// decides once; the other's later attempt changes nothing.
constexpr LONG UpdateVerdictShutdown = 1;
constexpr LONG UpdateVerdictGivenUp = 2;

// True for the first taker only.
bool TakeUpdateVerdict(LONG taker);
