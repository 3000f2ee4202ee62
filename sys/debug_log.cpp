#include "sys/debug_log.h"

#include <windows.h>

void LogText(const wchar_t* text) { OutputDebugStringW(text); }

void LogLine3(const wchar_t* before, const wchar_t* value, const wchar_t* after) {
  OutputDebugStringW(before);
  OutputDebugStringW(value);
  OutputDebugStringW(after);
}
