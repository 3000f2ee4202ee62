#include "launcher/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "launcher/argument_quoting.h"
#include "sys/debug_log.h"

namespace {

bool IsNoUpgradeOption(const wchar_t* argument) {
  return std::wcscmp(argument, L"-no_upgrade") == 0 || std::wcscmp(argument, L"/no_upgrade") == 0;
}

void AdoptSessionName(wchar_t (&sessionName)[SessionNameSize], const wchar_t* name) {
  if (std::wcslen(name) > static_cast<size_t>(MaxSessionNameLength)) {
    LogLine3(L"[tollbury] Session name given with -load is too long, keeping session '", sessionName, L"'.\n");
    return;
  }
  wmemset(sessionName, L'\0', SessionNameSize);
  std::wcsncpy(sessionName, name, SessionNameSize - 1);
}

}  // namespace

void ParseArguments(int argc, wchar_t** argv, wchar_t (&sessionName)[SessionNameSize],
                    wchar_t (&passThrough)[PassThroughSize], int passThroughRoom, bool& noUpgrade, bool& updateCheck) {
  passThrough[0] = L'\0';
  const int capacity =
      passThroughRoom < 1 ? 1 : (passThroughRoom > PassThroughSize ? PassThroughSize : passThroughRoom);
  int length = 0;
  bool dropping = false;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* argument = argv[i];
    if (IsNoUpgradeOption(argument)) {
      noUpgrade = true;
      updateCheck = false;
      continue;
    }
    if (std::wcscmp(argument, L"-load") == 0 && i + 1 < argc) AdoptSessionName(sessionName, argv[i + 1]);
    // Once one argument does not fit, later ones are dropped too, so the
    // client never sees arguments out of their order.
    if (!dropping && !AppendQuotedArgument(passThrough, capacity, length, argument)) {
      dropping = true;
      LogText(L"[tollbury] Command line too long to hand on in full; the last arguments are dropped.\n");
    }
  }
}

bool ParseCommandLine(wchar_t (&sessionName)[SessionNameSize], wchar_t (&passThrough)[PassThroughSize],
                      int passThroughRoom, bool& noUpgrade, bool& updateCheck) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return false;
  ParseArguments(argc, argv, sessionName, passThrough, passThroughRoom, noUpgrade, updateCheck);
  LocalFree(argv);
  return true;
}
