#include "sys/dll_search.h"

#include <windows.h>

#include "sys/debug_log.h"

namespace {

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

void LogFailure(DWORD error) {
  LogLineNumber(L"[tollbury] Cannot restrict the DLL search path (error ", error, L").\n");
}

}  // namespace

int RestrictDllSearch() {
  // Looked up rather than imported: Windows 7 without update KB2533623 lacks
  // it, and the program must still start there.
  const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  // The program's folder stays: it holds WinSparkle.dll. Folders added with
  // AddDllDirectory are left out: nothing here adds any.
  if (setDefaultDllDirectories != nullptr &&
      setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32))
    return 0;
  const DWORD error = setDefaultDllDirectories != nullptr ? GetLastError() : ERROR_PROC_NOT_FOUND;
  // Still takes the working directory out of the search.
  SetDllDirectoryW(L"");
  LogFailure(error);
  return error != 0 ? static_cast<int>(error) : ERROR_INVALID_FUNCTION;
}
