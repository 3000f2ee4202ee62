#pragma once
// Machine-wide set-up for end-to-end tests: the registry under
// HKLM\SOFTWARE\Verdanto\Client, the client tree under C:\ProgramData, an
// install folder with the launcher, and runs of the launcher through the
// debug-output capture tool. Tests that use these take the "machine" lock.

#include <windows.h>

#include <string>
#include <vector>

// --- registry ---
extern const wchar_t* const ClientKey;    // SOFTWARE\Verdanto\Client
extern const wchar_t* const TollburyKey;  // ...\Tollbury
std::wstring SessionKey(const std::wstring& session);

// Removes the whole ClientKey tree.
void ClearRegistry();
void CreateKey(const std::wstring& path);
void SetRegString(const std::wstring& path, const wchar_t* name, const std::wstring& value);
void SetRegDword(const std::wstring& path, const wchar_t* name, DWORD value);
void SetRegBytes(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size);
void DeleteRegValue(const std::wstring& path, const wchar_t* name);
// False when the value is missing or not REG_SZ.
bool GetRegString(const std::wstring& path, const wchar_t* name, std::wstring& value);

// A typical machine: Tollbury key with UpgradeCheck "0" and LastCheck "0",
// and the session "vrd" (not single-user).
void SetUpPlainMachine();

// --- files ---
std::wstring BinDir();      // folder of the running test program, with a trailing backslash
std::wstring ClientRoot();  // C:\ProgramData\Verdanto\RudAvuvav\ (with trailing backslash)
void RemoveTree(const std::wstring& path);
void ResetClientRoot();  // empty client root
// A version folder; with the client, it holds a copy of the demo client.
void AddVersionDir(const std::wstring& name, bool withClient = true);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool ReadFileBytes(const std::wstring& path, std::string& bytes);
bool FileExists(const std::wstring& path);

// What the demo client recorded about its start.
struct ClientRecord {
  std::wstring exe;
  std::wstring cwd;
  std::vector<std::wstring> args;
};
// Waits (bounded) for the demo client of `version` to record its start.
bool WaitForClientRecord(const std::wstring& version, ClientRecord& record, DWORD timeoutMs = 10000);
// True when no demo client has recorded a start anywhere under the root.
bool NoClientStarted();

// --- the launcher ---
// The install folder C:\tollbury-test\ with a fresh copy of tollbury.exe
// and, when present in the build, the named extra files from BinDir().
std::wstring InstallDir();
void PrepareInstall(const std::vector<std::wstring>& extraFiles = {});

struct LauncherRun {
  bool finished = false;  // false: it was killed after the time-out
  DWORD exitCode = 0;
  std::vector<std::wstring> lines;  // debug output, one entry a line, without the line feed
  std::string wineTrace;            // with wineDebug: what Wine traced meanwhile
};
// Runs InstallDir()\tollbury.exe `arguments` through dbgcapture (with `wineDebug`: see WINE_TRACE).
LauncherRun RunLauncher(const std::wstring& arguments, DWORD timeoutMs = 60000, const wchar_t* wineDebug = nullptr);
// The events a traced run reported, each "<type> <id> <text>" (hexadecimal numbers).
std::vector<std::string> ReportedEvents(const std::string& wineTrace);
// Starts it without waiting; finish with FinishLauncher.
struct CapturedOutput;
struct PendingLauncher {
  HANDLE process = nullptr;
  HANDLE reader = nullptr;
  CapturedOutput* output = nullptr;
};
PendingLauncher StartLauncher(const std::wstring& arguments);
LauncherRun FinishLauncher(PendingLauncher& pending, DWORD timeoutMs = 60000);

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
