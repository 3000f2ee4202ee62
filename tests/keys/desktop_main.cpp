// Entry of the end-to-end tests: runs them on a desktop of their own.
//
// Wine draws every window of a desktop through the display of the process
// that opened the desktop first, and keeps that process while anything
// uses the desktop. The shared default desktop may have been opened without
// a display (or with another one), so these tests open their own, named by
// whether this run has a display.

#include <windows.h>

#include <cwchar>

#include <gtest/gtest.h>

#include "tests/support/ui_driver.h"

namespace {

bool StartedOnDesktop(const wchar_t* desktop) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  return startup.lpDesktop != nullptr && std::wcscmp(startup.lpDesktop, desktop) == 0;
}

// Runs this program again, with the same command line, on `desktop`.
int RunAgainOnDesktop(const wchar_t* desktop) {
  const wchar_t* name = std::wcschr(desktop, L'\\') + 1;
  HDESK opened = CreateDesktopW(name, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (opened == nullptr) {
    std::fprintf(stderr, "cannot create desktop %ls: %lu\n", name, GetLastError());
    return 1;
  }
  wchar_t program[MAX_PATH];
  GetModuleFileNameW(nullptr, program, MAX_PATH);
  std::wstring commandLine = GetCommandLineW();
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.lpDesktop = const_cast<wchar_t*>(desktop);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "cannot start the tests on desktop %ls: %lu\n", name, GetLastError());
    CloseDesktop(opened);
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseDesktop(opened);
  return static_cast<int>(exitCode);
}

}  // namespace

int main(int argc, char** argv) {
  const wchar_t* desktop = DisplayAvailable() ? L"WinSta0\\tollbury-keys-display" : L"WinSta0\\tollbury-keys-nodisplay";
  if (!StartedOnDesktop(desktop)) return RunAgainOnDesktop(desktop);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
