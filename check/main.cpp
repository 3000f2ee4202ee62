// tollbury-check: tells what a start of tollbury.exe by the same user would
// find and do on this machine, step by step, and changes nothing.

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "check/client.h"
#include "check/event_source.h"
#include "check/gate.h"
#include "check/program.h"
#include "check/report.h"
#include "check/sessions.h"
#include "check/updates.h"
#include "sys/dll_search.h"
#include "sys/event_log.h"
#include "sys/limits.h"

namespace {

constexpr int ExitUnusableCommandLine = 3;
// A report that did not reach its reader must not pass for a sound machine.
constexpr int ExitReportNotWritten = 2;
constexpr wchar_t Usage[] = L"usage: tollbury-check.exe [-load SESSION] [--offline] [--json]";

struct Options {
  bool offline;
  bool json;
  bool oneSession;
  wchar_t session[SessionNameSize];
};

// As a start takes "-load": the argument after it names the session.
bool ReadOptions(int argc, wchar_t** argv, Options& options) {
  options = Options();
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--offline") == 0) {
      options.offline = true;
    } else if (std::wcscmp(argv[i], L"--json") == 0) {
      options.json = true;
    } else if (std::wcscmp(argv[i], L"-load") == 0 && i + 1 < argc &&
               std::wcslen(argv[i + 1]) <= static_cast<size_t>(MaxSessionNameLength)) {
      options.oneSession = true;
      std::wcscpy(options.session, argv[++i]);
    } else {
      return false;
    }
  }
  return true;
}

CheckReport report;  // about 600 KB: kept off the stack

}  // namespace

int main() {
  RestrictDllSearch();
  // The units a start uses report their failures to the event log when the
  // policy says so; the check records nothing anywhere.
  DisableEventReports();
  Options options;
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const bool usable = argv != nullptr && ReadOptions(argc, argv, options);
  LocalFree(argv);
  if (!usable) {
    WriteLine(GetStdHandle(STD_ERROR_HANDLE), Usage);
    return ExitUnusableCommandLine;
  }

  CheckProgram(report, options.offline);
  const bool updateCheckRuns = CheckUpdates(report);
  CheckGate(report);
  CheckClient(report);
  CheckSessions(report, options.oneSession ? options.session : nullptr, updateCheckRuns, options.offline);
  CheckEventLog(report);

  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const bool written = options.json ? WriteJsonReport(out, report) : WriteTextReport(out, report);
  if (!written) {
    WriteLine(GetStdHandle(STD_ERROR_HANDLE), L"tollbury-check: the report could not be written");
    return ExitReportNotWritten;
  }
  return ExitCodeOf(report);
}
