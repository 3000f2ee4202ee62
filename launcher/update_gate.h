#pragma once

// Serialises starts on the global mutex and throttles a start that comes
// within a second of the last recorded check: no update check, no key
// provisioning, and for a single-user session no client start.
void PassUpdateGate(bool& updateCheck, bool& singleUser, int& launchFlag);

// True when the user's token, or the linked full token of a limited one, is
// a member of the built-in Administrators group.
bool IsUserAdministrator();
