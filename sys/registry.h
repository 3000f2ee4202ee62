#pragma once
#include <windows.h>

// Reads one REG_SZ value of an open key into a new, always terminated wide
// string that the caller releases with free(). Returns S_OK, E_INVALIDARG,
// DISP_E_TYPEMISMATCH, E_OUTOFMEMORY or the HRESULT of the registry error;
// on every failure *text is null.
HRESULT ReadRegistryString(HKEY key, const wchar_t* valueName, wchar_t** text);

// Reads one REG_DWORD value of an open key into *value. Returns S_OK,
// E_INVALIDARG, DISP_E_TYPEMISMATCH (another type, or fewer than four bytes)
// or the HRESULT of the registry error: 0x80070002 for a missing value,
// 0x800700EA for data longer than four bytes. On every failure *value is 0.
HRESULT ReadRegistryDword(HKEY key, const wchar_t* valueName, DWORD* value);
