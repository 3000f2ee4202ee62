#include "check/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "json/json_print.h"

namespace {

constexpr int SinkBufferSize = 4096;
// Every wide text of the report fits: a UTF-16 unit takes at most three bytes.
constexpr int Utf8TextSize = 3 * FindingTextSize + 1;

// Output goes out in blocks. A console takes wide text, so a block is cut
// before a character whose bytes have not all arrived.
struct OutputSink {
  HANDLE out;
  bool console;
  bool failed;
  int length;
  char buffer[SinkBufferSize];
};

int CompleteUtf8Length(const char* bytes, int length) {
  int start = length;
  int continuation = 0;
  while (start > 0 && continuation < 3 && (static_cast<unsigned char>(bytes[start - 1]) & 0xC0) == 0x80) {
    --start;
    ++continuation;
  }
  if (start == 0) return length;
  const unsigned char lead = static_cast<unsigned char>(bytes[start - 1]);
  const int needed = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
  return needed > continuation ? start - 1 : length;
}

void WriteToConsole(OutputSink& sink, int count) {
  wchar_t wide[SinkBufferSize];
  const int units = MultiByteToWideChar(CP_UTF8, 0, sink.buffer, count, wide, SinkBufferSize);
  DWORD written = 0;
  if (count > 0 && (units <= 0 || !WriteConsoleW(sink.out, wide, static_cast<DWORD>(units), &written, nullptr)))
    sink.failed = true;
}

void WriteToFile(OutputSink& sink, int count) {
  for (int sent = 0; sent < count;) {
    DWORD written = 0;
    if (!WriteFile(sink.out, sink.buffer + sent, static_cast<DWORD>(count - sent), &written, nullptr) || written == 0) {
      sink.failed = true;
      return;
    }
    sent += static_cast<int>(written);
  }
}

void Flush(OutputSink& sink, bool whole) {
  const int count = sink.console && !whole ? CompleteUtf8Length(sink.buffer, sink.length) : sink.length;
  if (sink.console)
    WriteToConsole(sink, count);
  else
    WriteToFile(sink, count);
  std::memmove(sink.buffer, sink.buffer + count, static_cast<size_t>(sink.length - count));
  sink.length -= count;
}

int SinkBytes(const char* bytes, int count, void* context) {
  OutputSink& sink = *static_cast<OutputSink*>(context);
  for (int i = 0; i < count; ++i) {
    if (sink.length == SinkBufferSize) Flush(sink, false);
    sink.buffer[sink.length++] = bytes[i];
  }
  return count;
}

void OpenSink(OutputSink& sink, HANDLE out) {
  DWORD mode = 0;
  sink.out = out;
  sink.console = GetConsoleMode(out, &mode) != FALSE;
  sink.failed = false;
  sink.length = 0;
}

bool CloseSink(OutputSink& sink) {
  Flush(sink, true);
  return !sink.failed;
}

// UTF-8 of a wide text; control characters (from a registry value, say)
// become spaces, so that a line stays a line and JSON stays valid.
void ToUtf8(const wchar_t* text, char (&utf8)[Utf8TextSize]) {
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, Utf8TextSize, nullptr, nullptr) == 0) utf8[0] = '\0';
  for (char* byte = utf8; *byte != '\0'; ++byte)
    if (static_cast<unsigned char>(*byte) < 0x20) *byte = ' ';
}

void Print(OutputSink& sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  JsonVPrintf(SinkBytes, &sink, format, &args);
  va_end(args);
}

void PrintWide(OutputSink& sink, const char* format, const wchar_t* text) {
  char utf8[Utf8TextSize];
  ToUtf8(text, utf8);
  Print(sink, format, utf8);
}

// In the order of the enumerations.
const char* const StatusWords[] = {"OK", "WARN", "FAIL"};
const char* const JsonStatusNames[] = {"ok", "warn", "fail"};
const char* const ValidationNames[] = {"skipped", "good", "bad", "failed", "error"};

const char* StatusWord(FindingStatus status) { return StatusWords[static_cast<int>(status)]; }
const char* JsonStatus(FindingStatus status) { return JsonStatusNames[static_cast<int>(status)]; }
const char* ValidationName(Validation validation) { return ValidationNames[static_cast<int>(validation)]; }

template <int Size>
void CopyWide(wchar_t (&target)[Size], const wchar_t* text) {
  int i = 0;
  for (; i < Size - 1 && text[i] != L'\0'; ++i) target[i] = text[i];
  target[i] = L'\0';
}

void PrintSession(OutputSink& sink, const SessionSummary& session) {
  PrintWide(sink, "{\"name\":%Q", session.name);
  Print(sink, ",\"singleUser\":%B", session.singleUser ? 1 : 0);
  PrintWide(sink, ",\"serviceUrl\":%Q", session.serviceUrl);
  PrintWide(sink, ",\"proxy\":%Q", session.proxy);
  PrintWide(sink, ",\"pin\":%Q", session.pin);
  Print(sink, ",\"validation\":%Q,\"status\":%d,\"error\":%d}", ValidationName(session.validation), session.status,
        session.error);
}

// Guards the findings and sessions between the steps' thread and the one
// that may end the run.
SRWLOCK reportLock = SRWLOCK_INIT;

struct LockedScope {
  LockedScope() { AcquireSRWLockExclusive(&reportLock); }
  ~LockedScope() { ReleaseSRWLockExclusive(&reportLock); }
  LockedScope(const LockedScope&) = delete;
  LockedScope& operator=(const LockedScope&) = delete;
};

void AddFindingUnlocked(CheckReport& report, FindingStatus status, const wchar_t* area, const wchar_t* format,
                        va_list args) {
  if (status > report.worst) report.worst = status;
  if (report.findingCount == MaxFindings) {
    ++report.findingsDropped;
    return;
  }
  Finding& finding = report.findings[report.findingCount++];
  finding.status = status;
  CopyWide(finding.area, area);
  _vsnwprintf(finding.text, FindingTextSize - 1, format, args);
  finding.text[FindingTextSize - 1] = L'\0';
}

void AddFindingHeld(CheckReport& report, FindingStatus status, const wchar_t* area, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  AddFindingUnlocked(report, status, area, format, args);
  va_end(args);
}

}  // namespace

void AddFinding(CheckReport& report, FindingStatus status, const wchar_t* area, const wchar_t* format, ...) {
  const LockedScope locked;
  va_list args;
  va_start(args, format);
  AddFindingUnlocked(report, status, area, format, args);
  va_end(args);
}

SessionSummary* AddSessionSummary(CheckReport& report, const wchar_t* name) {
  const LockedScope locked;
  if (report.sessionCount == MaxCheckedSessions) return nullptr;
  SessionSummary& session = report.sessions[report.sessionCount++];
  session = SessionSummary();
  CopyWide(session.name, name);
  return &session;
}

void SetRunningStep(CheckReport& report, const wchar_t* area, const wchar_t* part) {
  const LockedScope locked;
  _snwprintf(report.runningStep, RunningStepSize - 1, part[0] ? L"%ls: %ls" : L"%ls%ls", area, part);
  report.runningStep[RunningStepSize - 1] = L'\0';
}

void StopReport(CheckReport& report, int maxSeconds) {
  AcquireSRWLockExclusive(&reportLock);
  AddFindingHeld(report, FindingStatus::Warn, L"check",
                 L"unfinished: %ls was still running when --max-seconds %d ran out; what it and the steps after it "
                 L"would find is missing",
                 report.runningStep, maxSeconds);
}

int ExitCodeOf(const CheckReport& report) { return static_cast<int>(report.worst); }

bool WriteTextReport(HANDLE out, const CheckReport& report) {
  static OutputSink sink;
  OpenSink(sink, out);
  for (int i = 0; i < report.findingCount; ++i) {
    const Finding& finding = report.findings[i];
    Print(sink, "%s ", StatusWord(finding.status));
    PrintWide(sink, "%s: ", finding.area);
    PrintWide(sink, "%s\r\n", finding.text);
  }
  if (report.findingsDropped > 0)
    Print(sink, "%s check: %d more findings are not listed\r\n", StatusWord(report.worst), report.findingsDropped);
  return CloseSink(sink);
}

bool WriteJsonReport(HANDLE out, const CheckReport& report) {
  static OutputSink sink;
  OpenSink(sink, out);
  Print(sink, "{\"version\":%Q,\"programVersion\":%Q,\"exitCode\":%d", report.version, report.programVersion,
        ExitCodeOf(report));
  PrintWide(sink, ",\"account\":%Q", report.account);
  PrintWide(sink, ",\"sid\":%Q", report.sid);
  Print(sink, ",\"elevated\":%B,\"system\":%B,\"findings\":[", report.elevated ? 1 : 0,
        report.serviceAccount != ServiceAccount::None ? 1 : 0);
  for (int i = 0; i < report.findingCount; ++i) {
    const Finding& finding = report.findings[i];
    Print(sink, "%s{\"status\":%Q", i > 0 ? "," : "", JsonStatus(finding.status));
    PrintWide(sink, ",\"area\":%Q", finding.area);
    PrintWide(sink, ",\"text\":%Q}", finding.text);
  }
  Print(sink, "],\"findingsNotListed\":%d", report.findingsDropped);
  PrintWide(sink, ",\"client\":{\"chosen\":%Q},\"sessions\":[", report.chosenClient);
  for (int i = 0; i < report.sessionCount; ++i) {
    if (i > 0) Print(sink, ",");
    PrintSession(sink, report.sessions[i]);
  }
  Print(sink, "]}\n");
  return CloseSink(sink);
}

void WriteLine(HANDLE out, const wchar_t* line) {
  static OutputSink sink;
  OpenSink(sink, out);
  PrintWide(sink, "%s\r\n", line);
  CloseSink(sink);
}
