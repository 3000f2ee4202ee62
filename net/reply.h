#pragma once
// The key service's reply to a sent request: its status and its body.

#include <windows.h>
#include <winhttp.h>

// The reply's numeric status; false when it cannot be read.
bool QueryStatusCode(HINTERNET request, DWORD& code);

// Decides by the reply's status whether its body is read (0) or the call
// fails (ERROR_EXTENDED_ERROR; `status`, which may be null, then holds the
// reply's own status, except for a redirect without a readable Location).
int AcceptReplyStatus(HINTERNET request, int* status);

// Reads the whole body into a new block with a NUL after it, which `*reply`
// then holds; an empty body leaves `*reply` as it was. A body cut off part-way
// gives the bytes that arrived; one longer than PostJsonMaxReplyBytes fails
// the call with PostJsonReplyTooLarge.
int ReadBody(HINTERNET request, char** reply);
