// Placeholder until the update check lands.
#include "launcher/update_check.h"

int RunUpdateCheck(const wchar_t*, const wchar_t*, const wchar_t*) { return UpdateCheckGoOn; }
