#pragma once
#include "launcher/session_settings.h"

// Exit codes of the update check; UpdateCheckGoOn lets the sequence go on.
constexpr int UpdateCheckGoOn = 0;
constexpr int ExitEventFailed = 1;
constexpr int ExitSessionMissing = 2;

// Hands one update check to the update framework and waits for its verdict.
int RunUpdateCheck(const wchar_t* sessionName, const SessionSettings& session, const wchar_t* newestName);
