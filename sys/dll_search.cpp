#include "sys/dll_search.h"

#include <windows.h>

#include <cstdio>

#include "sys/debug_log.h"

int RestrictDllSearch() {
  // The program's folder stays: it holds WinSparkle.dll. Folders added with
  // AddDllDirectory are left out: nothing here adds any.
  if (SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)) return 0;
  const DWORD error = GetLastError();
  wchar_t code[16];
  _snwprintf(code, 16, L"%lu", error);
  code[15] = L'\0';
  LogLine3(L"[tollbury] Cannot restrict the DLL search path (error ", code, L").\n");
  return error != 0 ? static_cast<int>(error) : ERROR_INVALID_FUNCTION;
}
