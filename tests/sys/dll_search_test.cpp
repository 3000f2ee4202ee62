// RestrictDllSearch in a process of its own. Every DLL that tollbury.exe
// binds late (WinHTTP, the credentials UI, crypt32 and their imports) is
// found in System32 before the working directory or PATH would be searched,
// also under Wine, so a planted copy of one of those names proves nothing.
// The planted DLLs here carry names found nowhere else.

#include "sys/dll_search.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

std::wstring ProgramDir() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, length);
  return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

void RemoveFolder(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((dir + L"*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      DeleteFileW((dir + entry.cFileName).c_str());
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

bool Loads(const wchar_t* name) {
  HMODULE module = LoadLibraryW(name);
  if (module != nullptr) FreeLibrary(module);
  return module != nullptr;
}

TEST(RestrictDllSearch, LeavesOnlyTheProgramFolderAndSystem32) {
  const std::wstring standIn = ProgramDir() + L"credui-standin\\credui.dll";
  const std::wstring workingDir = L"C:\\tollbury-dll-cwd\\";
  const std::wstring pathDir = L"C:\\tollbury-dll-path\\";
  const std::wstring besideProgram = ProgramDir() + L"tollbury-probe-app.dll";
  for (const std::wstring& dir : {workingDir, pathDir}) {
    RemoveFolder(dir);
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
  }
  ASSERT_TRUE(CopyFileW(standIn.c_str(), (workingDir + L"tollbury-probe-cwd.dll").c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(standIn.c_str(), (pathDir + L"tollbury-probe-path.dll").c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(standIn.c_str(), besideProgram.c_str(), FALSE));
  wchar_t path[32768];
  const DWORD pathLength = GetEnvironmentVariableW(L"PATH", path, 32768);
  ASSERT_TRUE(pathLength > 0 && pathLength < 32768);
  ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", (pathDir + L";" + path).c_str()));
  ASSERT_TRUE(SetCurrentDirectoryW(workingDir.c_str()));

  // The classic search order reaches both planted copies ...
  EXPECT_TRUE(Loads(L"tollbury-probe-cwd.dll"));
  EXPECT_TRUE(Loads(L"tollbury-probe-path.dll"));

  ASSERT_EQ(RestrictDllSearch(), 0);
  // ... the restricted one neither, while the program's folder and System32
  // still serve.
  EXPECT_FALSE(Loads(L"tollbury-probe-cwd.dll")) << "loaded from the working directory";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(Loads(L"tollbury-probe-path.dll")) << "loaded from PATH";
  EXPECT_TRUE(Loads(L"tollbury-probe-app.dll"));
  EXPECT_TRUE(Loads(L"winhttp.dll"));

  SetCurrentDirectoryW(ProgramDir().c_str());
  SetEnvironmentVariableW(L"PATH", path);
  DeleteFileW(besideProgram.c_str());
  for (const std::wstring& dir : {workingDir, pathDir}) RemoveFolder(dir);
}

}  // namespace
