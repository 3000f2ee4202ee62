// minlaunch DIRECTORY [ARGS...]
// Starts rudavuvav.exe from DIRECTORY with ARGS, exactly as the launcher
// hands them on, and exits. The baseline the launcher's own cost is measured
// against.

#include <windows.h>
#include <shellapi.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 2) return 2;
  std::wstring parameters;
  for (int i = 2; i < argc; ++i) parameters += std::wstring(argv[i]) + L" ";
  ShellExecuteW(nullptr, L"open", L"rudavuvav.exe", parameters.c_str(), argv[1], SW_SHOWNORMAL);
  LocalFree(argv);
  return 0;
}
