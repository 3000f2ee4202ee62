#include "tests/support/winsparkle_control.h"

#include <cstdlib>
#include <sstream>

#include "tests/support/machine.h"

const wchar_t* const WinSparkleKey = L"SOFTWARE\\Verdanto\\Client\\WinSparkle";

namespace {

std::wstring RecordPath() { return InstallDir() + L"WinSparkleCalls.txt"; }

}  // namespace

void SetStandInOutcome(const std::wstring& outcome) { SetRegString(WinSparkleKey, L"StandInOutcome", outcome); }

void SetStandInDelay(DWORD milliseconds) { SetRegDword(WinSparkleKey, L"StandInDelayMs", milliseconds); }

std::vector<StandInEvent> StandInEvents() {
  std::vector<StandInEvent> events;
  std::string text;
  if (!ReadFileBytes(RecordPath(), text)) return events;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    events.push_back(
        {static_cast<DWORD>(std::strtoul(line.substr(0, space).c_str(), nullptr, 10)), line.substr(space + 1)});
  }
  return events;
}

std::vector<std::string> StandInTexts() {
  std::vector<std::string> texts;
  for (const StandInEvent& event : StandInEvents()) texts.push_back(event.text);
  return texts;
}

bool StandInRecordExists() { return FileExists(RecordPath()); }

bool WaitForStandInEvent(const std::string& text, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  do {
    for (const StandInEvent& event : StandInEvents()) {
      if (event.text == text) return true;
    }
    Sleep(20);
  } while (GetTickCount64() < deadline);
  return false;
}

std::vector<std::string> ExpectedStandInCalls(const std::string& host, const std::string& version,
                                              const std::vector<std::string>& answerEvents) {
  std::vector<std::string> calls = {
      "win_sparkle_set_appcast_url(\"https://" + host + "/client/appcast.xml\")",
      "win_sparkle_set_app_details(\"Verdanto\", \"Verdanto Client\", \"" + version + "\")",
      "win_sparkle_set_registry_path(\"SOFTWARE\\Verdanto\\Client\\WinSparkle\")",
      "win_sparkle_set_automatic_check_for_updates(0)",
      "win_sparkle_set_can_shutdown_callback(set)",
      "win_sparkle_set_shutdown_request_callback(set)",
      "win_sparkle_set_did_not_find_update_callback(set)",
      "win_sparkle_set_update_cancelled_callback(set)",
      "win_sparkle_set_error_callback(set)",
      "win_sparkle_init()",
      "win_sparkle_check_update_without_ui()",
  };
  calls.insert(calls.end(), answerEvents.begin(), answerEvents.end());
  calls.push_back("win_sparkle_cleanup()");
  return calls;
}
