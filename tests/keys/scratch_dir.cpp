#include "tests/keys/scratch_dir.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "tests/support/machine.h"

ScratchDir::ScratchDir() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  static int counter = 0;
  path = std::wstring(temp) + L"tollbury-keys-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(++counter) + L"\\";
  RemoveTree(path);
  CreateDirectoryW(path.c_str(), nullptr);
}

ScratchDir::~ScratchDir() { RemoveTree(path); }

std::wstring ScratchDir::Listing() const {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((path + L"*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  std::sort(names.begin(), names.end());
  std::wstring listing;
  for (const std::wstring& name : names) listing += name + L";";
  return listing;
}
