#include "check/client.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "launcher/launch.h"
#include "launcher/versions.h"
#include "sys/client_root.h"

namespace {

constexpr wchar_t Area[] = L"client";

void ListDirectory(const VersionDirectory& directory, void* context) {
  CheckReport& report = *static_cast<CheckReport*>(context);
  if (directory.nameTooLong) {
    AddFinding(report, FindingStatus::Ok, Area, L"directory %ls is no version: its name is longer than %d characters",
               directory.name, VersionNameSize - 1);
    return;
  }
  const double* part = directory.key.part;
  const bool holds = directory.holdsClient;
  AddFinding(report, FindingStatus::Ok, Area, L"version directory %ls ranks %g.%g.%g, holds %ls%ls%ls", directory.name,
             part[0], part[1], part[2], holds ? L"" : L"no ", ClientExeName, holds ? L"" : L" (never started)");
}

bool IsFile(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

void CheckClient(CheckReport& report) {
  report.chosenClient[0] = L'\0';
  wchar_t root[PathSize];
  if (!GetClientRootDirectory(root)) {
    AddFinding(report, FindingStatus::Fail, Area,
               L"the client root directory cannot be found under the common application data folder: a start "
               L"launches no client");
    return;
  }
  if (GetFileAttributesW(root) == INVALID_FILE_ATTRIBUTES) {
    AddFinding(report, FindingStatus::Fail, Area, L"the client root directory %ls does not exist: install the client",
               root);
    return;
  }
  AddFinding(report, FindingStatus::Ok, Area, L"client root directory %ls", root);
  wchar_t newestName[VersionNameSize] = L"1.0.0";
  VersionKey newestKey = {{0.0, 0.0, 0.0}};
  ScanVersionDirectories(root, newestName, newestKey, ListDirectory, &report);

  wchar_t launchDirectory[PathSize];
  std::wmemcpy(launchDirectory, root, PathSize);
  wchar_t client[PathSize];
  if (FormClientPath(launchDirectory, newestName, client) && IsFile(client)) {
    std::wmemcpy(report.chosenClient, launchDirectory, PathSize);
    AddFinding(report, FindingStatus::Ok, Area, L"a start launches %ls", client);
  } else {
    AddFinding(report, FindingStatus::Fail, Area,
               L"no version directory holds %ls: a start would try version %ls and launch nothing; install the client",
               ClientExeName, newestName);
  }
}
