#pragma once
#include <windows.h>

// True when `token` is a member of the built-in Administrators group; for a
// limited (filtered) token its linked full token is tested instead. Needs
// TOKEN_QUERY, and TOKEN_DUPLICATE unless the token is a limited one. Any
// failure counts as not a member.
bool IsTokenAdministrator(HANDLE token);
