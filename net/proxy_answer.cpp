#include "net/proxy_answer.h"

#include "sys/debug_log.h"

namespace {

constexpr int InvalidResponseFallback = static_cast<int>(0x80072F78);  // HRESULT of 12152
constexpr DWORD ReceiveOptions[] = {WINHTTP_OPTION_RECEIVE_TIMEOUT, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT};
constexpr int ReceiveOptionCount = sizeof(ReceiveOptions) / sizeof(ReceiveOptions[0]);

// One receive time-out as it was before the read, and whether the read's
// bound replaced it.
struct SavedTimeout {
  DWORD value;
  bool bounded;
};

void LogRefusedTimeout(DWORD option, DWORD value, const wchar_t* when, DWORD error) {
  LogLineNumber(L"[tollbury] WinHTTP refused to set option ", option, L" to ");
  LogLineNumber(L"", value, when);
  LogLineNumber(L" (error ", error, L")\n");
}

// Returns 0, or the refusal's error.
DWORD SetTimeout(HINTERNET request, DWORD option, DWORD value, const wchar_t* when) {
  if (WinHttpSetOption(request, option, &value, sizeof(value))) return 0;
  const DWORD error = GetLastError();
  LogRefusedTimeout(option, value, when, error);
  return error;
}

// A time-out that cannot be read cannot be set back, so it is left alone.
void BoundTimeout(HINTERNET request, DWORD option, SavedTimeout& saved) {
  DWORD size = sizeof(saved.value);
  saved.bounded = false;
  if (!WinHttpQueryOption(request, option, &saved.value, &size)) {
    LogRefusedTimeout(option, ProxyAnswerWaitMs, L" ms for the proxy's answer", GetLastError());
    return;
  }
  saved.bounded = SetTimeout(request, option, ProxyAnswerWaitMs, L" ms for the proxy's answer") == 0;
}

}  // namespace

int ReceiveProxyAnswer(HINTERNET request) {
  SavedTimeout saved[ReceiveOptionCount];
  for (int i = 0; i < ReceiveOptionCount; ++i) BoundTimeout(request, ReceiveOptions[i], saved[i]);
  int result = 0;
  if (!WinHttpReceiveResponse(request, nullptr)) {
    const DWORD error = GetLastError();
    result = error != 0 ? static_cast<int>(error) : InvalidResponseFallback;
  }
  for (int i = 0; i < ReceiveOptionCount; ++i) {
    if (!saved[i].bounded) continue;
    const DWORD restored =
        SetTimeout(request, ReceiveOptions[i], saved[i].value, L" ms again after the proxy's answer");
    if (result == 0 && restored != 0) result = static_cast<int>(restored);
  }
  return result;
}
