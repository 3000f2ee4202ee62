#include "sys/client_root.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

bool GetClientRootDirectory(wchar_t (&clientRoot)[PathSize]) {
  clientRoot[0] = L'\0';
  const HRESULT folder = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, clientRoot);
  if (FAILED(folder) || !PathAppendW(clientRoot, L"\\Verdanto\\RudAvuvav\\")) {
    clientRoot[0] = L'\0';
    return false;
  }
  // PathAppendW drops the trailing backslash on some systems.
  const size_t length = std::wcslen(clientRoot);
  if (length == 0 || clientRoot[length - 1] != L'\\') return AppendToDirectory(clientRoot, L"\\");
  return true;
}

bool AppendToDirectory(wchar_t (&directory)[PathSize], const wchar_t* name) {
  const size_t length = std::wcslen(directory);
  const size_t added = std::wcslen(name);
  if (length + added >= static_cast<size_t>(PathSize)) return false;
  std::wmemcpy(directory + length, name, added + 1);
  return true;
}

bool PathBesideProgram(const wchar_t* name, wchar_t (&path)[PathSize]) {
  path[0] = L'\0';
  const DWORD length = GetModuleFileNameW(nullptr, path, PathSize);
  wchar_t* slash = length > 0 && length < static_cast<DWORD>(PathSize) ? std::wcsrchr(path, L'\\') : nullptr;
  if (slash == nullptr) {
    path[0] = L'\0';
    return false;
  }
  slash[1] = L'\0';
  if (AppendToDirectory(path, name)) return true;
  path[0] = L'\0';
  return false;
}
