#pragma once
// One UTF-16 code unit. It is wchar_t on Windows, so Win32 texts pass as they
// are; elsewhere wchar_t is 32 bits wide and char16_t stands in, so that the
// units that need no Windows header build and are tested natively as the
// same code.
#ifdef _WIN32
typedef wchar_t WideChar;
#else
typedef char16_t WideChar;
#endif
static_assert(sizeof(WideChar) == 2, "wide text is UTF-16");
