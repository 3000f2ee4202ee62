#pragma once
// Diagnostics go to the debugger output stream, one call per piece of text.

void LogText(const wchar_t* text);

// A line with one variable part: three consecutive calls.
void LogLine3(const wchar_t* before, const wchar_t* value, const wchar_t* after);

// The same with a number (an error code, say) as the variable part.
void LogLineNumber(const wchar_t* before, long long number, const wchar_t* after);
