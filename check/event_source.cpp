#include "check/event_source.h"

#include <windows.h>

#include <cstdlib>

#include "sys/event_log.h"
#include "sys/handle_guard.h"
#include "sys/registry.h"

namespace {

constexpr wchar_t Area[] = L"event log";
constexpr wchar_t SourceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tollbury";

// 0 when registered with a message file that exists; otherwise the error.
DWORD FindMessageFile(wchar_t (&file)[PathSize]) {
  file[0] = L'\0';
  ScopedRegKey key;
  const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SourceKeyPath, 0, KEY_READ, &key.handle);
  if (opened != ERROR_SUCCESS) {
    key.handle = nullptr;
    return static_cast<DWORD>(opened);
  }
  wchar_t* text = nullptr;
  const HRESULT read = ReadRegistryString(key.handle, L"EventMessageFile", &text);
  if (FAILED(read)) return ERROR_INVALID_DATA;
  const DWORD length = ExpandEnvironmentStringsW(text, file, PathSize);
  std::free(text);
  if (length == 0 || length > static_cast<DWORD>(PathSize)) return ERROR_FILENAME_EXCED_RANGE;
  return GetFileAttributesW(file) == INVALID_FILE_ATTRIBUTES ? ERROR_FILE_NOT_FOUND : 0;
}

}  // namespace

void CheckEventLog(CheckReport& report) {
  const bool on = ReadReportPolicy();
  AddFinding(report, FindingStatus::Ok, Area,
             on ? L"the ReportToEventLog policy is on: starts report failures to the Application log"
                : L"the ReportToEventLog policy is off: starts report nothing to the event log");
  wchar_t file[PathSize];
  const DWORD found = FindMessageFile(file);
  if (found == 0) {
    AddFinding(report, FindingStatus::Ok, Area, L"the event source Tollbury is registered with %ls", file);
  } else if (found == ERROR_FILE_NOT_FOUND && file[0] != L'\0') {
    AddFinding(report, on ? FindingStatus::Warn : FindingStatus::Ok, Area,
               L"the event source Tollbury names %ls, which does not exist: events show without their text; "
               L"reinstall the package",
               file);
  } else {
    AddFinding(report, on ? FindingStatus::Warn : FindingStatus::Ok, Area,
               L"the event source Tollbury is not registered (error %lu)%ls", found,
               on ? L": events show without their text; reinstall the package" : L"");
  }
}
