#pragma once
// One synchronous HTTPS POST of a JSON body to the key service.

// Largest reply body accepted; a longer one fails the call with
// PostJsonReplyTooLarge.
constexpr unsigned long PostJsonMaxReplyBytes = 1024 * 1024;

// Result codes of the failures that the platform does not name. Both leave the
// status at 500 and the reply null.
// The service URL's host name or path is longer than 255 characters; nothing
// has been sent. ERROR_BUFFER_OVERFLOW.
constexpr int PostJsonUrlPartTooLong = 111;
// The reply body is longer than PostJsonMaxReplyBytes; reading stopped there.
// ERROR_MESSAGE_EXCEEDS_MAX_SIZE.
constexpr int PostJsonReplyTooLarge = 4336;

// Posts `body` (UTF-8, NUL-terminated, sent without the NUL) to the host and
// path of `serviceUrl`, always over TLS on port 443.
// Returns 0 on success, otherwise a Windows error code or an HRESULT.
// `*reply` is set to null first; after a success with a non-empty body it is a
// malloc'd block of the body's bytes plus a NUL, which the caller frees.
// `status` may be null; it reads 500 until a reply status is known and 200
// after a success.
int PostJson(const wchar_t* serviceUrl, const char* body, char** reply, int* status);
