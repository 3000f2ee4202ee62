#pragma once
#include <windows.h>

// Exit codes of the update check; UpdateCheckGoOn lets the sequence go on.
constexpr int UpdateCheckGoOn = 0;
constexpr int ExitEventFailed = 1;
constexpr int ExitSessionMissing = 2;

// Hands one update check to the update framework and waits for its verdict.
int RunUpdateCheck(const wchar_t* sessionName, const wchar_t* sessionKeyPath, const wchar_t* newestName);

// The feed URL, "https://<HostName>/client/appcast.xml", in UTF-8.
constexpr int FeedUrlSize = 128;

// Forms the feed URL from the open session key's "HostName". False, with a
// line logged, when there is no usable host name.
bool ReadFeedUrl(HKEY sessionKey, const wchar_t* sessionName, char (&feedUrl)[FeedUrlSize]);
