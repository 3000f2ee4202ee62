// Placeholder until the update gate lands: never throttles.
#include "launcher/update_gate.h"

void PassUpdateGate(bool&, bool&, int&) {}

bool IsUserAdministrator() { return false; }
