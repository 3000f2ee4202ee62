#pragma once
#include <windows.h>

// The only state the update framework's callbacks share with the main
// thread. The finished event orders ShutdownCallback's store to the launch
// flag before the main thread reads it.

// The client is started only while this is not 0.
extern int LaunchFlag;

// Manual-reset event "WinSparkleFinished", signalled by the callbacks.
extern HANDLE FinishedEvent;
