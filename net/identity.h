#pragma once
// The client's identity as the key service sees it.

constexpr int ClientTextSize = 32;  // bytes, terminator included

// The User-Agent of every request to the key service and its proxy script.
constexpr wchar_t ClientUserAgent[] = L"Verdanto Client";

// Dotted IPv4 text of the local host's first address, or "127.0.0.1".
void GetClientIpAddress(char (&ipText)[ClientTextSize]);

// Where VerQueryValueW finds the "FileVersion" text of a version resource.
constexpr wchar_t FileVersionQuery[] = L"\\StringFileInfo\\040904b0\\FileVersion";

// The program's own "FileVersion" text in UTF-8, or "Version unknown".
// A text longer than the buffer is cut at a UTF-8 character boundary.
void GetClientVersionString(char (&versionText)[ClientTextSize]);

// Writes the four bytes of an IPv4 address (network order) as "a.b.c.d".
void FormatClientIpText(const unsigned char (&address)[4], char (&ipText)[ClientTextSize]);

// Converts `fileVersion` to UTF-8 into `versionText`, keeping as many whole
// characters as fit. Returns false, leaving `versionText` as it was, when the
// text cannot be converted.
bool ConvertClientVersionText(const wchar_t* fileVersion, char (&versionText)[ClientTextSize]);
