// A stand-in for rudavuvav.exe. Writes "received.txt" beside itself, in
// UTF-8, one item a line:
//   exe=<its own path>
//   cwd=<working directory>
//   argc=<number of arguments after the program name>
//   arg=<each argument, in order>
// then exits with 0.

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

void AppendUtf8(std::string& out, const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return;
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], bytes, nullptr, nullptr);
  out.append(utf8.c_str());
}

void AppendItem(std::string& out, const char* name, const wchar_t* value) {
  out += name;
  out += '=';
  AppendUtf8(out, value);
  out += '\n';
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  wchar_t exePath[MAX_PATH] = L"";
  GetModuleFileNameW(nullptr, exePath, MAX_PATH);
  wchar_t cwd[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, cwd);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);

  std::string record;
  AppendItem(record, "exe", exePath);
  AppendItem(record, "cwd", cwd);
  record += "argc=" + std::to_string(argc > 0 ? argc - 1 : 0) + "\n";
  for (int i = 1; i < argc; ++i) AppendItem(record, "arg", argv[i]);
  if (argv != nullptr) LocalFree(argv);

  std::wstring recordPath(exePath);
  recordPath.resize(recordPath.find_last_of(L'\\') + 1);
  recordPath += L"received.txt";
  // Written under a temporary name and renamed, so a reader never sees half.
  const std::wstring partial = recordPath + L".part";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  CloseHandle(file);
  return MoveFileExW(partial.c_str(), recordPath.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
