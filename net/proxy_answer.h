#pragma once
// The read of a proxy's answer to a request whose body was never written.

#include <windows.h>
#include <winhttp.h>

// How long that answer is awaited. The proxy has already answered when the
// send returns without a tunnel; only a WinHTTP that waits for the declared
// body would wait longer, and that body never comes.
constexpr DWORD ProxyAnswerWaitMs = 5000;

// Waits at most ProxyAnswerWaitMs for the response headers of `request` (both
// WINHTTP_OPTION_RECEIVE_TIMEOUT and WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT
// set for this one read), then sets both back to what they were, so that a
// later send on the handle waits as long as before.
// Returns 0 once the headers are in, otherwise the error that ended the read,
// or the error of a time-out that could not be set back: a later send on the
// handle would then wait too short. A time-out that WinHTTP refuses to set,
// either way, is logged; a bound it refuses leaves that wait as it was.
int ReceiveProxyAnswer(HINTERNET request);
