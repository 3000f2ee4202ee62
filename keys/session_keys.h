#pragma once

// Makes sure the session's key file and upload key file exist and are
// accepted by the key service at `serviceUrl`, asking the user for account
// credentials and fetching new keys when they are not.
void EnsureSessionKeys(const wchar_t* serviceUrl, const wchar_t* sessionName);
