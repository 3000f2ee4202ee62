// RestrictDllSearch, in a process of its own: the restriction cannot be
// undone. Every DLL that tollbury.exe binds late (WinHTTP, the credentials
// UI, crypt32 and their imports) is found in System32 before the working
// directory or PATH would be searched, also under Wine, so a planted copy of
// one of those names proves nothing; the planted DLLs here carry names found
// nowhere else.

#include "sys/dll_search.h"

#include <windows.h>

#include <string>

#include <gtest/gtest.h>

namespace {

bool Loads(const std::wstring& name) {
  HMODULE module = LoadLibraryW(name.c_str());
  if (module != nullptr) FreeLibrary(module);
  return module != nullptr;
}

TEST(RestrictDllSearch, LeavesOnlyTheProgramFolderAndSystem32) {
  wchar_t program[MAX_PATH];
  std::wstring programDir(program, GetModuleFileNameW(nullptr, program, MAX_PATH));
  programDir.resize(programDir.find_last_of(L'\\') + 1);
  const std::wstring standIn = programDir + L"credui-standin\\credui.dll";  // any DLL will do
  const std::wstring planted[] = {L"C:\\tollbury-dll-cwd\\probe-cwd.dll", L"C:\\tollbury-dll-path\\probe-path.dll",
                                  programDir + L"probe-app.dll"};
  for (const std::wstring& file : planted) {
    CreateDirectoryW(file.substr(0, file.find_last_of(L'\\')).c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(standIn.c_str(), file.c_str(), FALSE));
  }
  static wchar_t path[32768];
  const DWORD pathLength = GetEnvironmentVariableW(L"PATH", path, 32768);
  ASSERT_TRUE(pathLength > 0 && pathLength < 32768);
  ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", (L"C:\\tollbury-dll-path;" + std::wstring(path)).c_str()));
  ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\tollbury-dll-cwd"));

  // The classic search order reaches both planted copies, the restricted one
  // neither, while the program's folder and System32 still serve.
  EXPECT_TRUE(Loads(L"probe-cwd.dll"));
  EXPECT_TRUE(Loads(L"probe-path.dll"));
  ASSERT_EQ(RestrictDllSearch(), 0);
  EXPECT_FALSE(Loads(L"probe-cwd.dll")) << "loaded from the working directory";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(Loads(L"probe-path.dll")) << "loaded from PATH";
  EXPECT_TRUE(Loads(L"probe-app.dll"));
  EXPECT_TRUE(Loads(L"winhttp.dll"));

  SetCurrentDirectoryW(programDir.c_str());
  for (const std::wstring& file : planted) {
    DeleteFileW(file.c_str());
    RemoveDirectoryW(file.substr(0, file.find_last_of(L'\\')).c_str());  // the program's folder is not empty: kept
  }
}

}  // namespace
