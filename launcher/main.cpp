// Tollbury: started in place of rudavuvav.exe. Throttles double starts, lets
// the update framework check for an update, makes sure a single-user
// session's key files are valid, then starts the newest installed client.

#include <windows.h>

#include <cwchar>

#include "keys/session_keys.h"
#include "launcher/command_line.h"
#include "launcher/launch.h"
#include "launcher/process_state.h"
#include "launcher/session_settings.h"
#include "launcher/update_check.h"
#include "launcher/update_gate.h"
#include "launcher/versions.h"
#include "sys/client_root.h"
#include "sys/debug_log.h"
#include "sys/dll_search.h"
#include "sys/event_log.h"
#include "sys/limits.h"

namespace {

constexpr int ExitCommandLineFailed = 3;

// Steps 5 and 6: the gate, then the update check for administrators.
// Returns -1 to go on, otherwise the exit code to end with.
int GateAndCheckForUpdate(bool& updateCheck, SessionSettings& session, const wchar_t* sessionName,
                          const wchar_t* newestName) {
  PassUpdateGate(updateCheck, session.singleUser, LaunchFlag);
  if (updateCheck) {
    if (IsUserAdministrator()) {
      const int verdict = RunUpdateCheck(sessionName, session, newestName);
      if (verdict != UpdateCheckGoOn) return verdict;
    } else {
      LogText(L"[tollbury] User does not have Elevated privledges, skipping upgrade check\n");
    }
  }
  return LaunchFlag == 0 ? 0 : -1;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Before anything can load a DLL: WinHTTP, the credentials UI and their
  // dependencies are bound late, when the working directory may be anyone's.
  RestrictDllSearch();
  wchar_t sessionName[SessionNameSize] = L"vrd";
  wchar_t clientRoot[PathSize] = L"";
  wchar_t newestName[VersionNameSize] = L"1.0.0";
  VersionKey newestKey = {{0.0, 0.0, 0.0}};
  static wchar_t passThrough[PassThroughSize];  // 64 KiB: kept off the stack
  bool noUpgrade = false;
  bool updateCheck = true;
  SessionSettings session;

  ScanInstalledVersions(clientRoot, newestName, newestKey);

  const int passThroughRoom = PassThroughRoom(clientRoot, newestName);
  if (!ParseCommandLine(sessionName, passThrough, passThroughRoom, noUpgrade, updateCheck)) {
    // Nothing is logged for this exit; the event is all an administrator gets.
    ReportFailureNumber(EventCommandLineFailed, EVENTLOG_ERROR_TYPE,
                        L"The command line could not be split into arguments (error ", GetLastError(),
                        L"); exiting with code 3");
    return ExitCommandLineFailed;
  }
  if (!noUpgrade) ReadUpgradeCheck(updateCheck);
  ReadSessionSettings(sessionName, session);

  const int exitCode = GateAndCheckForUpdate(updateCheck, session, sessionName, newestName);
  if (exitCode >= 0) return exitCode;

  if (session.singleUser) {
    LogText(L"[tollbury] Going into single user mode\n");
    // Without a service URL there is nothing to check the keys against.
    if (session.serviceUrl[0] != L'\0') EnsureSessionKeys(session.serviceUrl, sessionName, session.trust);
  }

  LaunchClient(clientRoot, newestName, passThrough);
  return 0;
}
