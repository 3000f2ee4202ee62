#include "check/event_source.h"

#include <windows.h>

#include <cwchar>

#include "sys/event_log.h"
#include "sys/limits.h"

namespace {

constexpr wchar_t Area[] = L"event log";
constexpr wchar_t SourceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tollbury";

// Several files may be named, separated by ';'.
constexpr int MessageFilesSize = 1024;

// The "EventMessageFile" value as written, REG_SZ or REG_EXPAND_SZ; 0 or the
// registry's error.
DWORD ReadMessageFiles(wchar_t (&files)[MessageFilesSize], bool& expand) {
  files[0] = L'\0';
  DWORD type = REG_NONE;
  DWORD size = sizeof(files);
  const LSTATUS read = RegGetValueW(HKEY_LOCAL_MACHINE, SourceKeyPath, L"EventMessageFile",
                                    RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, files, &size);
  expand = type == REG_EXPAND_SZ;
  if (read != ERROR_SUCCESS) files[0] = L'\0';
  return static_cast<DWORD>(read);
}

// The next file of the list from `*next` on, expanded when the value asks
// for it; false at the end of the list.
bool NextMessageFile(const wchar_t*& next, bool expand, wchar_t (&file)[PathSize]) {
  while (*next == L';' || *next == L' ') ++next;
  if (*next == L'\0') return false;
  const size_t length = std::wcscspn(next, L";");
  wchar_t named[PathSize] = L"";
  const size_t kept = length < static_cast<size_t>(PathSize) ? length : PathSize - 1;
  std::wmemcpy(named, next, kept);
  named[kept] = L'\0';
  next += length;
  const DWORD expanded = expand ? ExpandEnvironmentStringsW(named, file, PathSize) : 0;
  if (!expand || expanded == 0 || expanded > static_cast<DWORD>(PathSize)) std::wmemcpy(file, named, PathSize);
  return true;
}

bool FileExists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

void CheckEventLog(CheckReport& report) {
  const bool on = ReadReportPolicy();
  AddFinding(report, FindingStatus::Ok, Area,
             on ? L"the ReportToEventLog policy is on: starts report failures to the Application log"
                : L"the ReportToEventLog policy is off: starts report nothing to the event log");
  wchar_t files[MessageFilesSize];
  bool expand = false;
  const DWORD read = ReadMessageFiles(files, expand);
  if (read != 0 || files[0] == L'\0') {
    AddFinding(report, on ? FindingStatus::Warn : FindingStatus::Ok, Area,
               L"the event source Tollbury is not registered (error %lu)%ls", read != 0 ? read : ERROR_INVALID_DATA,
               on ? L": events show without their text; reinstall the package" : L"");
    return;
  }
  bool allThere = true;
  wchar_t file[PathSize];
  for (const wchar_t* next = files; NextMessageFile(next, expand, file);) {
    if (FileExists(file)) continue;
    allThere = false;
    AddFinding(report, on ? FindingStatus::Warn : FindingStatus::Ok, Area,
               L"the event source Tollbury names %ls, which does not exist: events show without their text; "
               L"reinstall the package",
               file);
  }
  if (allThere) AddFinding(report, FindingStatus::Ok, Area, L"the event source Tollbury is registered with %ls", files);
}
