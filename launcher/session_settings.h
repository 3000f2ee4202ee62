#pragma once
#include <windows.h>

#include "keys/service_trust.h"
#include "sys/limits.h"

// Clears `updateCheck` unless "UpgradeCheck" under the Tollbury key is
// exactly "1"; a missing key or value leaves it set.
void ReadUpgradeCheck(bool& updateCheck);

// The feed URL, "https://<HostName>/client/appcast.xml", in UTF-8.
constexpr int FeedUrlSize = 128;

// What "HostName" gave; said only when an update check runs.
enum class FeedUrlReading { Formed, NoHostName, HostNameTooLong };

// Everything a start needs of its session's registry key, read at once.
struct SessionSettings {
  wchar_t keyPath[SessionKeyPathSize];  // empty when the name does not fit
  bool keyOpened;                       // without the key an update check cannot begin
  LSTATUS keyError;                     // why it did not open; ERROR_SUCCESS when it did
  bool singleUser;
  wchar_t serviceUrl[ServiceUrlSize];  // empty unless single-user with a usable "Server"
  FeedUrlReading feed;
  char feedUrl[FeedUrlSize];  // set when `feed` is Formed
  ServiceTrust trust;         // read for a single-user session only
};

// Opens the session's key once and reads it into `settings`, logging only what
// a start has always said at this point: a missing key, and for a single-user
// session a missing or too long "Server". `sessionName` must outlive
// `settings`: the trust names the session by it.
void ReadSessionSettings(const wchar_t* sessionName, SessionSettings& settings);

// True when "HostName" gave a feed URL; otherwise logs why the update check
// is skipped.
bool FeedUrlIsUsable(const SessionSettings& settings, const wchar_t* sessionName);
