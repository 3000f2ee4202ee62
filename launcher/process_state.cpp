#include "launcher/process_state.h"

int LaunchFlag = 1;
HANDLE FinishedEvent = nullptr;
