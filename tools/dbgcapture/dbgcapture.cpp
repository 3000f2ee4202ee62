// dbgcapture COMMAND [ARGS...]
//
// Starts COMMAND as a debuggee, prints every line it writes to the debugger
// output stream, in order, as UTF-8 on standard output, and exits with
// COMMAND's exit code. Pieces written by consecutive calls are joined until
// a line feed ends the line. Exits with 255 if COMMAND cannot be started.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

using WaitForDebugEventExFn = BOOL(WINAPI*)(LPDEBUG_EVENT, DWORD);

// The rest of our own command line after the program name, exactly as
// given, so that the debuggee receives its arguments unchanged.
const wchar_t* CommandTail() {
  const wchar_t* p = GetCommandLineW();
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

void WriteOut(const std::wstring& text) {
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::wstring ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  const size_t units = info.nDebugStringLength;
  if (units == 0 || units > 1 << 20) return std::wstring();
  if (info.fUnicode) {
    std::wstring text(units, L'\0');
    SIZE_T read = 0;
    ReadProcessMemory(process, info.lpDebugStringData, &text[0], units * sizeof(wchar_t), &read);
    text.resize(read / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
  }
  std::string bytes(units, '\0');
  SIZE_T read = 0;
  ReadProcessMemory(process, info.lpDebugStringData, &bytes[0], units, &read);
  bytes.resize(read);
  while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
  const int wide = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(wide > 0 ? wide : 0), L'\0');
  if (wide > 0) MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], wide);
  return text;
}

void CloseEventHandles(const DEBUG_EVENT& event) {
  if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && event.u.CreateProcessInfo.hFile != nullptr) {
    CloseHandle(event.u.CreateProcessInfo.hFile);
  } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile != nullptr) {
    CloseHandle(event.u.LoadDll.hFile);
  }
}

// Prints each completed line of `pending` and keeps the unfinished rest.
void FlushLines(std::wstring& pending) {
  size_t end;
  while ((end = pending.find(L'\n')) != std::wstring::npos) {
    WriteOut(pending.substr(0, end + 1));
    pending.erase(0, end + 1);
  }
}

DWORD DebugUntilExit(HANDLE process, DWORD processId) {
  auto waitEx = reinterpret_cast<WaitForDebugEventExFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "WaitForDebugEventEx")));
  std::wstring pending;
  DWORD exitCode = 255;
  for (;;) {
    DEBUG_EVENT event;
    const BOOL got = waitEx != nullptr ? waitEx(&event, INFINITE) : WaitForDebugEvent(&event, INFINITE);
    if (!got) break;
    DWORD continueStatus = DBG_CONTINUE;
    CloseEventHandles(event);
    if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT && event.dwProcessId == processId) {
      pending += ReadDebugString(process, event.u.DebugString);
      FlushLines(pending);
    } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
               event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
      continueStatus = DBG_EXCEPTION_NOT_HANDLED;
    }
    const bool exited = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT && event.dwProcessId == processId;
    if (exited) exitCode = event.u.ExitProcess.dwExitCode;
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
    if (exited) break;
  }
  if (!pending.empty()) WriteOut(pending + L"\n");
  return exitCode;
}

}  // namespace

int main() {
  const wchar_t* tail = CommandTail();
  if (*tail == L'\0') {
    std::fputws(L"usage: dbgcapture COMMAND [ARGS...]\n", stderr);
    return 255;
  }
  std::wstring commandLine(tail);  // CreateProcessW may write into it
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                      &startup, &info)) {
    std::fwprintf(stderr, L"dbgcapture: cannot start the command, error %lu\n", GetLastError());
    return 255;
  }
  CloseHandle(info.hThread);
  const DWORD exitCode = DebugUntilExit(info.hProcess, info.dwProcessId);
  CloseHandle(info.hProcess);
  return static_cast<int>(exitCode);
}
