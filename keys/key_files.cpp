#include "keys/key_files.h"

#include <windows.h>
#include <shlwapi.h>

#include <cwchar>

#include "sys/client_root.h"
#include "sys/handle_guard.h"

namespace {

bool BuildKeyFilePath(const wchar_t* clientRoot, const wchar_t* sessionName, const wchar_t* suffix,
                      wchar_t (&path)[PathSize]) {
  path[0] = L'\0';
  return AppendToDirectory(path, clientRoot) && AppendToDirectory(path, sessionName) && AppendToDirectory(path, suffix);
}

DWORD WriteWholeFile(const wchar_t* path, const void* bytes, DWORD count) {
  ScopedKernelHandle file(
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.handle == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD written = 0;
  if (!WriteFile(file.handle, bytes, count, &written, nullptr)) return GetLastError();
  if (written != count) return ERROR_WRITE_FAULT;
  // The old key is about to be dropped: the new one must be on disk first.
  if (!FlushFileBuffers(file.handle)) return GetLastError();
  return 0;
}

}  // namespace

bool BuildKeyFilePaths(const wchar_t* clientRoot, const wchar_t* sessionName, wchar_t (&keyPath)[PathSize],
                       wchar_t (&uploadKeyPath)[PathSize]) {
  const bool built = BuildKeyFilePath(clientRoot, sessionName, L"-key.ppk", keyPath) &&
                     BuildKeyFilePath(clientRoot, sessionName, L"-upload-key.ppk", uploadKeyPath);
  if (!built) {
    keyPath[0] = L'\0';
    uploadKeyPath[0] = L'\0';
  }
  return built;
}

unsigned long ReplaceFileContents(const wchar_t* path, const void* bytes, unsigned long count) {
  wchar_t directory[PathSize];
  const size_t length = std::wcslen(path);
  if (length >= static_cast<size_t>(PathSize)) return ERROR_FILENAME_EXCED_RANGE;
  std::wmemcpy(directory, path, length + 1);
  PathRemoveFileSpecW(directory);

  wchar_t temporary[PathSize];
  if (GetTempFileNameW(directory, L"ppk", 0, temporary) == 0) return GetLastError();
  DWORD result = WriteWholeFile(temporary, bytes, count);
  if (result == 0 && !MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    result = GetLastError();
  }
  if (result != 0) DeleteFileW(temporary);
  return result;
}
