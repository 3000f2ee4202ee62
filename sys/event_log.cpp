#include "sys/event_log.h"

#include <cstdio>
#include <cwchar>

#include "sys/handle_guard.h"
#include "sys/limits.h"
#include "sys/registry.h"

// The IDs that administrators filter on, as documented; events.h must carry
// them bare, with no severity or facility bits, for the mask below.
static_assert(EventClientNotStarted == 1 && EventNoUsableClientDirectory == 2 && EventFinishedEventFailed == 3 &&
                  EventSessionMissing == 4 && EventCommandLineFailed == 5 && EventUpdateGateWaitedOut == 6 &&
                  EventUpdateCheckUnanswered == 7,
              "launcher event IDs");
static_assert(EventKeyValidationError == 10 && EventAuthenticationError == 11 && EventFileWriteError == 12 &&
                  EventServerUnsupported == 13 && EventKeyFilesOfAnotherUser == 14 && EventKeyPinsUnusable == 15 &&
                  EventServerKeyMismatch == 16 && EventCertificateRefused == 17,
              "key event IDs");
static_assert(EventProxyNotFound == 20 && EventProxyNotReached == 21 && EventProxySignInRefused == 22,
              "proxy event IDs");

namespace {

// A longer line is reported cut.
constexpr int EventTextSize = 1024;
constexpr wchar_t LinePrefix[] = L"[tollbury] ";

enum class Policy { Unread, Off, On };
Policy policy = Policy::Unread;
// Bit n: event ID n has been reported this start.
unsigned long long reportedIds = 0;

struct PendingLine {
  bool armed;
  DWORD eventId;
  WORD type;
  int length;
  wchar_t text[EventTextSize];
};
PendingLine pending = {};

}  // namespace

// Read once, at the first report: a plain start never gets here.
bool ReadReportPolicy() {
  ScopedRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TollburyPolicyKeyPath, 0, KEY_READ, &key.handle) != ERROR_SUCCESS) {
    key.handle = nullptr;
    return false;
  }
  DWORD value = 0;
  return SUCCEEDED(ReadRegistryDword(key.handle, L"ReportToEventLog", &value)) && value != 0;
}

namespace {

bool ReportingOn() {
  if (policy == Policy::Unread) policy = ReadReportPolicy() ? Policy::On : Policy::Off;
  return policy == Policy::On;
}

// IDs outside the mask are never reported rather than reported every time.
bool TakeFirstReport(DWORD eventId) {
  if (eventId >= 64) return false;
  const unsigned long long bit = 1ull << eventId;
  if (reportedIds & bit) return false;
  reportedIds |= bit;
  return true;
}

void AppendPiece(const wchar_t* piece) {
  for (; *piece != L'\0' && pending.length < EventTextSize - 1; ++piece) pending.text[pending.length++] = *piece;
  pending.text[pending.length] = L'\0';
}

void ReportPendingLine() {
  pending.armed = false;
  int end = pending.length;
  if (end > 0 && pending.text[end - 1] == L'\n') pending.text[--end] = L'\0';
  const int prefixLength = static_cast<int>(std::wcslen(LinePrefix));
  const bool prefixed = std::wcsncmp(pending.text, LinePrefix, prefixLength) == 0;
  ReportFailure(pending.eventId, pending.type, pending.text + (prefixed ? prefixLength : 0));
}

}  // namespace

void DisableEventReports() { policy = Policy::Off; }

void ReportNextLogLine(DWORD eventId, WORD type) {
  if (!ReportingOn()) return;
  pending.armed = true;
  pending.eventId = eventId;
  pending.type = type;
  pending.length = 0;
  pending.text[0] = L'\0';
}

void NoteLogPiece(const wchar_t* piece) {
  if (!pending.armed) return;
  AppendPiece(piece);
  const size_t length = std::wcslen(piece);
  if (length > 0 && piece[length - 1] == L'\n') ReportPendingLine();
}

void ReportFailure(DWORD eventId, WORD type, const wchar_t* text) {
  if (!ReportingOn() || !TakeFirstReport(eventId)) return;
  const HANDLE source = RegisterEventSourceW(nullptr, L"Tollbury");
  if (source == nullptr) return;
  const wchar_t* strings[1] = {text};
  ReportEventW(source, type, 0, eventId, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

void ReportFailureNumber(DWORD eventId, WORD type, const wchar_t* before, long long number, const wchar_t* after) {
  if (!ReportingOn()) return;
  wchar_t text[EventTextSize];
  _snwprintf(text, EventTextSize - 1, L"%ls%lld%ls", before, number, after);
  text[EventTextSize - 1] = L'\0';
  ReportFailure(eventId, type, text);
}
