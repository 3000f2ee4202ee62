#pragma once
#include <windows.h>

// Reads one REG_SZ value of an open key into a new, always terminated wide
// string that the caller releases with free(). Returns S_OK, E_INVALIDARG,
// DISP_E_TYPEMISMATCH, E_OUTOFMEMORY or the HRESULT of the registry error;
// on every failure *text is null.
HRESULT ReadRegistryString(HKEY key, const wchar_t* valueName, wchar_t** text);
