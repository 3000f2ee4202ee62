// Placeholder until key provisioning lands.
#include "keys/session_keys.h"

void EnsureSessionKeys(const wchar_t*, const wchar_t*) {}
