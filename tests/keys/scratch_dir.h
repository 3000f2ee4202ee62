#pragma once
// A private folder under %TEMP% for tests that need real files but no
// machine-wide state; removed with everything in it when the scope ends.

#include <string>

struct ScratchDir {
  std::wstring path;  // with a trailing backslash
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::wstring File(const wchar_t* name) const { return path + name; }
  // Names of the files in the folder, sorted.
  std::wstring Listing() const;
};
