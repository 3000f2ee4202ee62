// tollbury-check: tells what a start of tollbury.exe by the same user would
// find and do on this machine, step by step, and changes nothing.

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "check/account.h"
#include "check/client.h"
#include "check/event_source.h"
#include "check/gate.h"
#include "check/program.h"
#include "check/report.h"
#include "check/sessions.h"
#include "check/updates.h"
#include "sys/dll_search.h"
#include "sys/event_log.h"
#include "sys/handle_guard.h"
#include "sys/limits.h"

namespace {

constexpr int ExitUnusableCommandLine = 3;
// A report that did not reach its reader must not pass for a sound machine.
constexpr int ExitReportNotWritten = 2;
constexpr wchar_t Usage[] = L"usage: tollbury-check.exe [-load SESSION] [--offline] [--json] [--max-seconds N]";
constexpr int DefaultMaxSeconds = 120;
constexpr int LongestMaxSeconds = 3600;

struct Options {
  bool offline;
  bool json;
  bool oneSession;
  int maxSeconds;
  wchar_t session[SessionNameSize];
};

// Decimal digits only, 1 to LongestMaxSeconds; 0 for anything else.
int ParseMaxSeconds(const wchar_t* text) {
  int seconds = 0;
  for (int i = 0; text[i] != L'\0'; ++i) {
    if (text[i] < L'0' || text[i] > L'9' || i >= 4) return 0;
    seconds = seconds * 10 + (text[i] - L'0');
  }
  return seconds <= LongestMaxSeconds ? seconds : 0;
}

// As a start takes "-load": the argument after it names the session.
bool ReadOptions(int argc, wchar_t** argv, Options& options) {
  options = Options();
  options.maxSeconds = DefaultMaxSeconds;
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--offline") == 0) {
      options.offline = true;
    } else if (std::wcscmp(argv[i], L"--json") == 0) {
      options.json = true;
    } else if (std::wcscmp(argv[i], L"-load") == 0 && i + 1 < argc &&
               std::wcslen(argv[i + 1]) <= static_cast<size_t>(MaxSessionNameLength)) {
      options.oneSession = true;
      std::wcscpy(options.session, argv[++i]);
    } else if (std::wcscmp(argv[i], L"--max-seconds") == 0 && i + 1 < argc) {
      options.maxSeconds = ParseMaxSeconds(argv[++i]);
      if (options.maxSeconds == 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

CheckReport report;  // about 600 KB: kept off the stack
Options options;

void RunStep(const wchar_t* step) { SetRunningStep(report, step); }

DWORD WINAPI RunSteps(void*) {
  RunStep(L"account");
  CheckAccount(report);
  RunStep(L"program");
  CheckProgram(report, options.offline);
  RunStep(L"updates");
  const bool updateCheckRuns = CheckUpdates(report);
  RunStep(L"gate");
  CheckGate(report);
  RunStep(L"client");
  CheckClient(report);
  RunStep(L"sessions");
  CheckSessions(report, options.oneSession ? options.session : nullptr, updateCheckRuns, options.offline);
  RunStep(L"event log");
  CheckEventLog(report);
  return 0;
}

// Returns the run's exit code.
int WriteReport() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const bool written = options.json ? WriteJsonReport(out, report) : WriteTextReport(out, report);
  if (written) return ExitCodeOf(report);
  WriteLine(GetStdHandle(STD_ERROR_HANDLE), L"tollbury-check: the report could not be written");
  return ExitReportNotWritten;
}

}  // namespace

int main() {
  RestrictDllSearch();
  // The units a start uses report their failures to the event log when the
  // policy says so; the check records nothing anywhere.
  DisableEventReports();
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const bool usable = argv != nullptr && ReadOptions(argc, argv, options);
  LocalFree(argv);
  if (!usable) {
    WriteLine(GetStdHandle(STD_ERROR_HANDLE), Usage);
    return ExitUnusableCommandLine;
  }

  // A step waits on the network with WinHTTP's own timeouts, minutes in all;
  // the run as a whole keeps to its bound, whatever a step waits for.
  const ScopedKernelHandle steps(CreateThread(nullptr, 0, RunSteps, nullptr, 0, nullptr));
  if (steps.handle == nullptr) {
    RunSteps(nullptr);
  } else if (WaitForSingleObject(steps.handle, static_cast<DWORD>(options.maxSeconds) * 1000) != WAIT_OBJECT_0) {
    StopReport(report, options.maxSeconds);
    // Not ExitProcess: a stuck step's thread may hold a lock that a DLL's
    // detach would wait for.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(WriteReport()));
  }
  return WriteReport();
}
