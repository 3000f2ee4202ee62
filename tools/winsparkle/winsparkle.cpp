// Stand-in for the update framework's WinSparkle.dll, for tests and demos.
//
// It never touches the network. Every call it receives is appended, with its
// arguments, to "WinSparkleCalls.txt" beside the DLL: one UTF-8 line per
// event, "<process id> <event>". win_sparkle_check_update_without_ui is
// answered from a thread of the stand-in's own, as the real framework does.
//
// Settings, read when the check starts, from HKEY_LOCAL_MACHINE under the
// registry path the application hands over:
//   "StandInOutcome" (REG_SZ)    "no-update" (also when missing or unknown),
//                                "shutdown", "cancelled", "error",
//                                "silent" (never answers, shows nothing), or
//                                "window-then-silent" (shows a window for
//                                StandInWindowMs, closes it, never answers)
//   "StandInDelayMs" (REG_DWORD) wait before answering; 0 when missing
//   "StandInWindowMs" (REG_DWORD) how long the window shows; 0 when missing
//   "StandInDownload" (REG_SZ)   the "downloaded" file an install hands to a
//                                run-installer callback; empty when missing
//
// An install ("shutdown") asks can_shutdown first, then, when the application
// set a run-installer callback, calls it with the downloaded file and records
// what it returned: 1 (it started the file) or 0 (the framework would start
// it) go on to shutdown_request, anything else to the error callback.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

using CanShutdownFn = int(__cdecl*)();
using NotifyFn = void(__cdecl*)();
using RunInstallerFn = int(__cdecl*)(const wchar_t* path);

enum class Outcome { NoUpdate, Shutdown, Cancelled, Error, Silent, WindowThenSilent };

constexpr int TextSize = 512;
constexpr DWORD CleanupJoinMs = 30000;

char AppcastUrl[TextSize];
char RegistryPath[TextSize];
CanShutdownFn CanShutdown = nullptr;
NotifyFn ShutdownRequest = nullptr;
NotifyFn DidNotFindUpdate = nullptr;
NotifyFn UpdateCancelled = nullptr;
NotifyFn Error = nullptr;
RunInstallerFn RunInstaller = nullptr;

HANDLE Worker = nullptr;
HANDLE StopWorker = nullptr;
Outcome PendingOutcome = Outcome::NoUpdate;
DWORD PendingDelayMs = 0;
DWORD PendingWindowMs = 0;

bool RecordPath(wchar_t (&path)[MAX_PATH]) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&RecordPath), &self)) {
    return false;
  }
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  wchar_t* slash = std::wcsrchr(path, L'\\');
  if (slash == nullptr) return false;
  const wchar_t name[] = L"WinSparkleCalls.txt";
  const size_t room = static_cast<size_t>(MAX_PATH - (slash + 1 - path));
  if (sizeof(name) / sizeof(wchar_t) > room) return false;
  std::wmemcpy(slash + 1, name, sizeof(name) / sizeof(wchar_t));
  return true;
}

// One append per line keeps lines whole when several processes record.
void Record(const char* event) {
  wchar_t path[MAX_PATH];
  if (!RecordPath(path)) return;
  char line[4 * TextSize];
  const int length = std::snprintf(line, sizeof(line), "%lu %s\n", GetCurrentProcessId(), event);
  if (length <= 0) return;
  const DWORD bytes = length < static_cast<int>(sizeof(line)) ? static_cast<DWORD>(length) : sizeof(line) - 1;
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line, bytes, &written, nullptr);
  CloseHandle(file);
}

void CopyText(char (&target)[TextSize], const char* text) {
  if (text == nullptr) {
    target[0] = '\0';
    return;
  }
  std::snprintf(target, TextSize, "%s", text);
}

void ToUtf8(const wchar_t* text, char (&utf8)[TextSize]) {
  utf8[0] = '\0';
  if (text == nullptr) {
    std::snprintf(utf8, TextSize, "(null)");
    return;
  }
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, TextSize, nullptr, nullptr) == 0) utf8[0] = '\0';
}

const char* SetOrNull(const void* callback) { return callback != nullptr ? "set" : "null"; }

void RecordCallbackSetter(const char* function, const void* callback) {
  char event[TextSize];
  std::snprintf(event, sizeof(event), "%s(%s)", function, SetOrNull(callback));
  Record(event);
}

bool ReadSetting(const wchar_t* name, DWORD type, void* data, DWORD size) {
  wchar_t keyPath[TextSize];
  if (RegistryPath[0] == '\0' || MultiByteToWideChar(CP_UTF8, 0, RegistryPath, -1, keyPath, TextSize) == 0) {
    return false;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD foundType = 0;
  DWORD foundSize = size;
  const LSTATUS status = RegQueryValueExW(key, name, nullptr, &foundType, static_cast<BYTE*>(data), &foundSize);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && foundType == type;
}

Outcome ReadOutcome() {
  wchar_t text[32] = L"";
  if (!ReadSetting(L"StandInOutcome", REG_SZ, text, sizeof(text) - sizeof(wchar_t))) return Outcome::NoUpdate;
  text[31] = L'\0';
  if (std::wcscmp(text, L"shutdown") == 0) return Outcome::Shutdown;
  if (std::wcscmp(text, L"cancelled") == 0) return Outcome::Cancelled;
  if (std::wcscmp(text, L"error") == 0) return Outcome::Error;
  if (std::wcscmp(text, L"silent") == 0) return Outcome::Silent;
  if (std::wcscmp(text, L"window-then-silent") == 0) return Outcome::WindowThenSilent;
  return Outcome::NoUpdate;
}

DWORD ReadMilliseconds(const wchar_t* name) {
  DWORD milliseconds = 0;
  return ReadSetting(name, REG_DWORD, &milliseconds, sizeof(milliseconds)) ? milliseconds : 0;
}

// A visible top-level window of the process for a while, as the framework's
// dialog is while the user reads it; its messages are pumped meanwhile.
void ShowWindowForAWhile() {
  const wchar_t className[] = L"StandInUpdateWindow";
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = className;
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, className, L"Stand-in update", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                nullptr, nullptr, windowClass.hInstance, nullptr);
  if (window == nullptr) {
    char event[TextSize];
    std::snprintf(event, sizeof(event), "cannot show a window: %lu", GetLastError());
    Record(event);
    return;
  }
  Record("window shown");
  const ULONGLONG until = GetTickCount64() + PendingWindowMs;
  for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
    if (MsgWaitForMultipleObjects(1, &StopWorker, FALSE, static_cast<DWORD>(until - now), QS_ALLINPUT) ==
        WAIT_OBJECT_0) {
      break;
    }
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  DestroyWindow(window);
  Record("window closed");
}

void Notify(const char* name, NotifyFn callback) {
  char event[TextSize];
  std::snprintf(event, sizeof(event), "answer %s%s", name, callback != nullptr ? "" : " (no callback registered)");
  Record(event);
  if (callback != nullptr) callback();
}

// Hands the scripted download to the application's run-installer callback.
// Returns whether the install goes on to the shutdown request.
bool HandOverDownload() {
  if (RunInstaller == nullptr) return true;
  wchar_t path[TextSize] = L"";
  if (!ReadSetting(L"StandInDownload", REG_SZ, path, sizeof(path) - sizeof(wchar_t))) path[0] = L'\0';
  path[TextSize - 1] = L'\0';
  const int result = RunInstaller(path);
  char utf8[TextSize];
  ToUtf8(path, utf8);
  char event[2 * TextSize];
  std::snprintf(event, sizeof(event), "run_installer(\"%s\") returned %d", utf8, result);
  Record(event);
  return result == 0 || result == 1;
}

// An installer may run only when the application agrees to close.
void RequestShutdown() {
  const int agreed = CanShutdown != nullptr ? CanShutdown() : 1;
  char event[TextSize];
  std::snprintf(event, sizeof(event), "asked can_shutdown: %d", agreed);
  Record(event);
  if (agreed == 0) {
    Notify("update_cancelled", UpdateCancelled);
  } else if (HandOverDownload()) {
    Notify("shutdown_request", ShutdownRequest);
  } else {
    Notify("error", Error);
  }
}

DWORD WINAPI AnswerCheck(void*) {
  if (WaitForSingleObject(StopWorker, PendingDelayMs) == WAIT_OBJECT_0) {
    Record("stopped before answering");
    return 0;
  }
  switch (PendingOutcome) {
    case Outcome::NoUpdate:
      Notify("did_not_find_update", DidNotFindUpdate);
      break;
    case Outcome::Shutdown:
      RequestShutdown();
      break;
    case Outcome::Cancelled:
      Notify("update_cancelled", UpdateCancelled);
      break;
    case Outcome::Error:
      Notify("error", Error);
      break;
    case Outcome::Silent:
      Record("answer none");
      break;
    case Outcome::WindowThenSilent:
      ShowWindowForAWhile();
      Record("answer none");
      break;
  }
  return 0;
}

void StopAndJoinWorker() {
  if (Worker == nullptr) return;
  SetEvent(StopWorker);
  if (WaitForSingleObject(Worker, CleanupJoinMs) != WAIT_OBJECT_0) Record("worker did not stop");
  CloseHandle(Worker);
  CloseHandle(StopWorker);
  Worker = nullptr;
  StopWorker = nullptr;
}

}  // namespace

extern "C" {

void __cdecl win_sparkle_set_appcast_url(const char* url) {
  CopyText(AppcastUrl, url);
  char event[TextSize + 64];
  std::snprintf(event, sizeof(event), "win_sparkle_set_appcast_url(\"%s\")", url != nullptr ? url : "(null)");
  Record(event);
}

void __cdecl win_sparkle_set_app_details(const wchar_t* companyName, const wchar_t* appName,
                                         const wchar_t* appVersion) {
  char company[TextSize];
  char app[TextSize];
  char version[TextSize];
  ToUtf8(companyName, company);
  ToUtf8(appName, app);
  ToUtf8(appVersion, version);
  char event[3 * TextSize + 64];
  std::snprintf(event, sizeof(event), "win_sparkle_set_app_details(\"%s\", \"%s\", \"%s\")", company, app, version);
  Record(event);
}

void __cdecl win_sparkle_set_registry_path(const char* path) {
  CopyText(RegistryPath, path);
  char event[TextSize + 64];
  std::snprintf(event, sizeof(event), "win_sparkle_set_registry_path(\"%s\")", path != nullptr ? path : "(null)");
  Record(event);
}

void __cdecl win_sparkle_set_automatic_check_for_updates(int state) {
  char event[TextSize];
  std::snprintf(event, sizeof(event), "win_sparkle_set_automatic_check_for_updates(%d)", state);
  Record(event);
}

void __cdecl win_sparkle_set_can_shutdown_callback(CanShutdownFn callback) {
  CanShutdown = callback;
  RecordCallbackSetter("win_sparkle_set_can_shutdown_callback", reinterpret_cast<const void*>(callback));
}

void __cdecl win_sparkle_set_shutdown_request_callback(NotifyFn callback) {
  ShutdownRequest = callback;
  RecordCallbackSetter("win_sparkle_set_shutdown_request_callback", reinterpret_cast<const void*>(callback));
}

void __cdecl win_sparkle_set_did_not_find_update_callback(NotifyFn callback) {
  DidNotFindUpdate = callback;
  RecordCallbackSetter("win_sparkle_set_did_not_find_update_callback", reinterpret_cast<const void*>(callback));
}

void __cdecl win_sparkle_set_update_cancelled_callback(NotifyFn callback) {
  UpdateCancelled = callback;
  RecordCallbackSetter("win_sparkle_set_update_cancelled_callback", reinterpret_cast<const void*>(callback));
}

void __cdecl win_sparkle_set_error_callback(NotifyFn callback) {
  Error = callback;
  RecordCallbackSetter("win_sparkle_set_error_callback", reinterpret_cast<const void*>(callback));
}

void __cdecl win_sparkle_set_user_run_installer_callback(RunInstallerFn callback) {
  RunInstaller = callback;
  RecordCallbackSetter("win_sparkle_set_user_run_installer_callback", reinterpret_cast<const void*>(callback));
}

void __cdecl win_sparkle_init() { Record("win_sparkle_init()"); }

void __cdecl win_sparkle_check_update_without_ui() {
  Record("win_sparkle_check_update_without_ui()");
  if (Worker != nullptr) {
    Record("check already running");
    return;
  }
  PendingOutcome = ReadOutcome();
  PendingDelayMs = ReadMilliseconds(L"StandInDelayMs");
  PendingWindowMs = ReadMilliseconds(L"StandInWindowMs");
  StopWorker = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Worker = StopWorker != nullptr ? CreateThread(nullptr, 0, AnswerCheck, nullptr, 0, nullptr) : nullptr;
  if (Worker == nullptr) {
    Record("cannot start the answering thread");
    if (StopWorker != nullptr) CloseHandle(StopWorker);
    StopWorker = nullptr;
  }
}

void __cdecl win_sparkle_cleanup() {
  Record("win_sparkle_cleanup()");
  StopAndJoinWorker();
}

}  // extern "C"
