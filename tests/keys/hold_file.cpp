// hold_file PATH MILLISECONDS EVENT
//
// Stands in for an antivirus or backup agent: opens PATH without any
// sharing, signals the named event once it holds it, keeps it for
// MILLISECONDS, then lets go. Exits with 0, or 1 if PATH cannot be opened.

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 4) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
  if (held != nullptr) {
    SetEvent(held);
    CloseHandle(held);
  }
  Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
  CloseHandle(file);
  LocalFree(argv);
  return 0;
}
