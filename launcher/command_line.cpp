#include "launcher/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "sys/debug_log.h"

namespace {

bool IsNoUpgradeOption(const wchar_t* argument) {
  return std::wcscmp(argument, L"-no_upgrade") == 0 || std::wcscmp(argument, L"/no_upgrade") == 0;
}

bool NeedsQuotes(const wchar_t* argument) {
  if (*argument == L'\0') return true;
  return std::wcspbrk(argument, L" \t\n\v\"") != nullptr;
}

// Writes one character if there is room for it and a terminator.
bool Put(wchar_t* text, int capacity, int& length, wchar_t c) {
  if (length + 1 >= capacity) return false;
  text[length++] = c;
  return true;
}

bool PutRepeated(wchar_t* text, int capacity, int& length, wchar_t c, int count) {
  for (int i = 0; i < count; ++i) {
    if (!Put(text, capacity, length, c)) return false;
  }
  return true;
}

// Quoting by the rules CommandLineToArgvW reads back: backslashes are
// literal unless they precede a quote, so those (and the closing quote's)
// are doubled, and every quote gets a backslash of its own.
bool PutQuoted(wchar_t* text, int capacity, int& length, const wchar_t* argument) {
  if (!Put(text, capacity, length, L'"')) return false;
  for (const wchar_t* p = argument;; ++p) {
    int backslashes = 0;
    while (*p == L'\\') {
      ++backslashes;
      ++p;
    }
    if (*p == L'\0') return PutRepeated(text, capacity, length, L'\\', backslashes * 2) &&
                            Put(text, capacity, length, L'"');
    if (*p == L'"') {
      if (!PutRepeated(text, capacity, length, L'\\', backslashes * 2 + 1)) return false;
    } else if (!PutRepeated(text, capacity, length, L'\\', backslashes)) {
      return false;
    }
    if (!Put(text, capacity, length, *p)) return false;
  }
}

bool PutPlain(wchar_t* text, int capacity, int& length, const wchar_t* argument) {
  for (const wchar_t* p = argument; *p != L'\0'; ++p) {
    if (!Put(text, capacity, length, *p)) return false;
  }
  return true;
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

bool AppendQuotedArgument(wchar_t* text, int capacity, int& length, const wchar_t* argument) {
  const int before = length;
  const bool fitted = (NeedsQuotes(argument) ? PutQuoted(text, capacity, length, argument)
                                             : PutPlain(text, capacity, length, argument)) &&
                      Put(text, capacity, length, L' ');
  if (!fitted) length = before;
  text[length] = L'\0';
  return fitted;
}

void ParseArguments(int argc, wchar_t** argv, wchar_t (&sessionName)[SessionNameSize],
                    wchar_t (&passThrough)[PassThroughSize], int passThroughRoom, bool& noUpgrade,
                    bool& updateCheck) {
  passThrough[0] = L'\0';
  const int capacity = passThroughRoom < 1 ? 1 : (passThroughRoom > PassThroughSize ? PassThroughSize : passThroughRoom);
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
