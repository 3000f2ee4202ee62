#include "net/reply.h"

#include <cstdlib>
#include <cstring>

#include "net/post_json.h"

namespace {

// A redirect is answered with its own body, but only when it is well formed
// enough to carry a readable Location header.
bool LocationIsReadable(HINTERNET request) {
  DWORD size = 0;
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                          &size, WINHTTP_NO_HEADER_INDEX) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
    return false;
  void* location = std::malloc(size);
  if (!location) return false;
  const bool read = WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, location, &size,
                                        WINHTTP_NO_HEADER_INDEX) != FALSE;
  std::free(location);
  return read;
}

}  // namespace

bool QueryStatusCode(HINTERNET request, DWORD& code) {
  DWORD size = sizeof(code);
  return WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
}

int AcceptReplyStatus(HINTERNET request, int* status) {
  DWORD code = 0;
  if (!QueryStatusCode(request, code)) code = HTTP_STATUS_OK;
  switch (code) {
    case HTTP_STATUS_OK:
    case HTTP_STATUS_CREATED:
    case HTTP_STATUS_BAD_REQUEST:
      return 0;
    case HTTP_STATUS_MOVED:
    case HTTP_STATUS_REDIRECT:
      return LocationIsReadable(request) ? 0 : ERROR_EXTENDED_ERROR;
    default:
      if (status) *status = static_cast<int>(code);
      return ERROR_EXTENDED_ERROR;
  }
}

int ReadBody(HINTERNET request, char** reply) {
  char* buffer = nullptr;
  DWORD received = 0;
  int result = 0;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available) || available == 0) break;
    if (available > PostJsonMaxReplyBytes - received) {
      result = PostJsonReplyTooLarge;
      break;
    }
    char* grown = static_cast<char*>(std::realloc(buffer, received + available + 1));
    if (!grown) {
      result = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    buffer = grown;
    DWORD read = 0;
    // A failed read leaves the request unusable; asking again could spin.
    if (!WinHttpReadData(request, buffer + received, available, &read) || read == 0) break;
    received += read;
  }
  if (result == 0 && received > 0) {
    *reply = static_cast<char*>(std::malloc(received + 1));
    if (*reply) {
      std::memcpy(*reply, buffer, received);
      (*reply)[received] = '\0';
    } else {
      result = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  std::free(buffer);
  return result;
}
