#include "tests/keys/file_holder.h"

#include "tests/support/machine.h"

FileHolder HoldFile(const std::wstring& path, DWORD milliseconds) {
  FileHolder holder;
  const std::wstring eventName = L"TollburyTestFileHeld-" + std::to_wstring(GetCurrentProcessId());
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  std::wstring commandLine =
      L"\"" + BinDir() + L"hold_file.exe\" \"" + path + L"\" " + std::to_wstring(milliseconds) + L" " + eventName;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    CloseHandle(info.hThread);
    holder.process = info.hProcess;
    const HANDLE either[] = {held, info.hProcess};
    WaitForMultipleObjects(2, either, FALSE, 20000);
  }
  CloseHandle(held);
  return holder;
}

bool StillHeld(const FileHolder& holder) {
  return holder.process != nullptr && WaitForSingleObject(holder.process, 0) == WAIT_TIMEOUT;
}

DWORD ReleaseFile(FileHolder& holder, bool now) {
  if (holder.process == nullptr) return 999;
  if (now) TerminateProcess(holder.process, 0);
  DWORD exitCode = 999;
  if (WaitForSingleObject(holder.process, 20000) == WAIT_OBJECT_0) GetExitCodeProcess(holder.process, &exitCode);
  CloseHandle(holder.process);
  holder.process = nullptr;
  return exitCode;
}
