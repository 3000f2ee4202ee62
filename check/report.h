#pragma once
// The machine check's findings and what it learnt of each session, and their
// two outputs: text, one finding a line, or one JSON object.

#include <windows.h>

#include "net/proxy.h"
#include "net/server_pins.h"
#include "sys/limits.h"

// Ordered by weight; each one's value is the exit code it leads to.
enum class FindingStatus { Ok = 0, Warn = 1, Fail = 2 };

constexpr int FindingAreaSize = 48;
constexpr int FindingTextSize = 640;
constexpr int MaxFindings = 400;
constexpr int MaxCheckedSessions = 64;
constexpr int RunningStepSize = FindingAreaSize + 64;
constexpr int AccountTextSize = 514;  // DOMAIN\name
constexpr int SidTextSize = 192;      // SECURITY_MAX_SID_STRING_CHARACTERS and its terminator

// Windows' own service accounts, whose settings and rights are no user's.
enum class ServiceAccount { None, LocalSystem, LocalService, NetworkService };

struct Finding {
  FindingStatus status;
  wchar_t area[FindingAreaSize];
  wchar_t text[FindingTextSize];
};

// Validation of a session's key files, as JSON names it.
enum class Validation { Skipped, Good, Bad, Failed, Error };

struct SessionSummary {
  wchar_t name[SessionNameSize];
  bool singleUser;
  wchar_t serviceUrl[ServiceUrlSize];
  wchar_t proxy[ProxyNameSize];
  wchar_t pin[ServerKeyPinSize];
  Validation validation;
  int status;  // as PostJson reported it; 0 when nothing was posted
  int error;   // the Windows error code of the exchange; 0 when none
};

struct CheckReport {
  char version[32];         // the check's own FileVersion, UTF-8
  char programVersion[24];  // the check's own file version number, as 3.6.2.0
  wchar_t account[AccountTextSize];
  wchar_t sid[SidTextSize];
  bool elevated;
  ServiceAccount serviceAccount;
  wchar_t runningStep[RunningStepSize];
  wchar_t chosenClient[PathSize];
  FindingStatus worst;
  int findingCount;
  int findingsDropped;  // beyond MaxFindings: counted in `worst`, not listed
  Finding findings[MaxFindings];
  int sessionCount;
  SessionSummary sessions[MaxCheckedSessions];
};

// Adds a finding; `format` takes _snwprintf's directives (%ls for wide text).
// A longer text is cut.
void AddFinding(CheckReport& report, FindingStatus status, const wchar_t* area, const wchar_t* format, ...);

// The next session's summary, blank but for its name; null when the report
// holds as many as it can.
SessionSummary* AddSessionSummary(CheckReport& report, const wchar_t* name);

// Names the step now running, for a run that is stopped before it ends:
// an area, and what in it when `part` is not empty.
void SetRunningStep(CheckReport& report, const wchar_t* area, const wchar_t* part = L"");

// Ends the report where it stands, for a run whose steps are still at work:
// a finding being added is completed first, the WARN "unfinished: <step>"
// follows, and whoever adds one later waits for good.
void StopReport(CheckReport& report, int maxSeconds);

// 0 when every finding is OK, 1 when the worst is a WARN, 2 with any FAIL.
int ExitCodeOf(const CheckReport& report);

// Writes the report to `out`: to a console as wide text, otherwise as UTF-8
// without a byte-order mark. Returns false when writing failed.
bool WriteTextReport(HANDLE out, const CheckReport& report);
bool WriteJsonReport(HANDLE out, const CheckReport& report);

// Writes one line to `out` the way the report is written.
void WriteLine(HANDLE out, const wchar_t* line);
