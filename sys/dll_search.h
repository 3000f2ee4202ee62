#pragma once

// Limits every later DLL load of the process to the program's own folder and
// System32, so that nothing is ever loaded from the working directory or
// PATH. Returns 0, or logs and returns the Windows error of the call.
int RestrictDllSearch();
