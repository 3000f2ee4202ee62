#pragma once
#include <windows.h>

// The update framework, bound at run time so that a missing or broken
// WinSparkle.dll costs only the update check, never the client's start.

using WinSparkleCanShutdownCallback = int(__cdecl*)();
using WinSparkleCallback = void(__cdecl*)();
// Given the downloaded file's path: 1 when it started the file, 0 to leave it
// to the framework, WinSparkleReturnError on failure.
using WinSparkleRunInstallerCallback = int(__cdecl*)(const wchar_t* path);
constexpr int WinSparkleReturnError = -1;

struct WinSparkleApi {
  HMODULE module;
  void(__cdecl* setAppcastUrl)(const char* url);
  void(__cdecl* setAppDetails)(const wchar_t* companyName, const wchar_t* appName, const wchar_t* appVersion);
  void(__cdecl* setRegistryPath)(const char* path);
  void(__cdecl* setAutomaticCheckForUpdates)(int state);
  void(__cdecl* setCanShutdownCallback)(WinSparkleCanShutdownCallback callback);
  void(__cdecl* setShutdownRequestCallback)(WinSparkleCallback callback);
  void(__cdecl* setDidNotFindUpdateCallback)(WinSparkleCallback callback);
  void(__cdecl* setUpdateCancelledCallback)(WinSparkleCallback callback);
  void(__cdecl* setErrorCallback)(WinSparkleCallback callback);
  void(__cdecl* init)();
  void(__cdecl* checkUpdateWithoutUi)();
  void(__cdecl* cleanup)();
  // Bound only when asked for (a build that carries the update key), else null.
  void(__cdecl* setUserRunInstallerCallback)(WinSparkleRunInstallerCallback callback);
};

// The twelve every check calls, and the run-installer callback's setter.
constexpr int WinSparkleFunctionCount = 12;
constexpr int WinSparkleFunctionCountWithRunInstaller = WinSparkleFunctionCount + 1;

// Why WinSparkle.dll could not serve: the error of loading it (0 when it
// loaded), and the names of the functions it lacks.
struct WinSparkleLoadFailure {
  DWORD loadError;
  int missingCount;
  const char* missing[WinSparkleFunctionCountWithRunInstaller];
};

// Loads WinSparkle.dll from the program's own directory, never from the
// working directory or PATH, and resolves its twelve functions, and with
// `withRunInstaller` win_sparkle_set_user_run_installer_callback too (0.8 and
// later). On failure logs one line naming what is missing, fills `failure`
// when given, leaves nothing loaded and returns false.
bool LoadWinSparkle(WinSparkleApi& api, WinSparkleLoadFailure* failure = nullptr, bool withRunInstaller = false);
