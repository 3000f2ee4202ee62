#include "sys/debug_log.h"

#include <windows.h>

#include <cstdio>

#include "sys/event_log.h"

void LogText(const wchar_t* text) {
  OutputDebugStringW(text);
  NoteLogPiece(text);
}

void LogLine3(const wchar_t* before, const wchar_t* value, const wchar_t* after) {
  LogText(before);
  LogText(value);
  LogText(after);
}

void LogLineNumber(const wchar_t* before, long long number, const wchar_t* after) {
  wchar_t text[24];
  _snwprintf(text, 24, L"%lld", number);
  text[23] = L'\0';
  LogLine3(before, text, after);
}
