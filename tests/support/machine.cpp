#include "tests/support/machine.h"

#include <shellapi.h>

#include <regex>
#include <sstream>

const wchar_t* const ClientKey = L"SOFTWARE\\Verdanto\\Client";
const wchar_t* const TollburyKey = L"SOFTWARE\\Verdanto\\Client\\Tollbury";

std::wstring SessionKey(const std::wstring& session) {
  return std::wstring(L"SOFTWARE\\Verdanto\\Client\\sessions\\") + session;
}

std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  return wide;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], n, nullptr, nullptr);
  return utf8;
}

// --- registry ---

void ClearRegistry() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClientKey); }

void CreateKey(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    RegCloseKey(key);
  }
}

void SetRegBytes(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

void SetRegString(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  SetRegBytes(path, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void SetRegDword(const std::wstring& path, const wchar_t* name, DWORD value) {
  SetRegBytes(path, name, REG_DWORD, &value, sizeof(value));
}

void DeleteRegValue(const std::wstring& path, const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  RegDeleteValueW(key, name);
  RegCloseKey(key);
}

bool GetRegString(const std::wstring& path, const wchar_t* name, std::wstring& value) {
  wchar_t buffer[4096];
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  DWORD type = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return false;
  buffer[size / sizeof(wchar_t)] = L'\0';
  value = buffer;
  return true;
}

void SetUpPlainMachine() {
  ClearRegistry();
  SetRegString(TollburyKey, L"UpgradeCheck", L"0");
  SetRegString(TollburyKey, L"LastCheck", L"0");
  CreateKey(SessionKey(L"vrd"));
}

// --- files ---

std::wstring BinDir() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

std::wstring ClientRoot() { return L"C:\\ProgramData\\Verdanto\\RudAvuvav\\"; }

void RemoveTree(const std::wstring& path) {
  std::wstring dir = path;
  while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = dir + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

void ResetClientRoot() {
  // A client started by an earlier run may still be running from the tree;
  // its files go once it has exited.
  const ULONGLONG deadline = GetTickCount64() + 10000;
  do {
    RemoveTree(ClientRoot());
    if (!FileExists(ClientRoot())) break;
    Sleep(50);
  } while (GetTickCount64() < deadline);
  CreateDirectoryW(L"C:\\ProgramData\\Verdanto", nullptr);
  CreateDirectoryW(ClientRoot().c_str(), nullptr);
}

void AddVersionDir(const std::wstring& name, bool withClient) {
  const std::wstring dir = ClientRoot() + name;
  CreateDirectoryW(dir.c_str(), nullptr);
  if (withClient) CopyFileW((BinDir() + L"rudavuvav.exe").c_str(), (dir + L"\\rudavuvav.exe").c_str(), FALSE);
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
  CloseHandle(file);
  return true;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

namespace {

bool ParseClientRecord(const std::string& text, ClientRecord& record) {
  record = ClientRecord();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = line.substr(0, eq);
    const std::wstring value = Utf8ToWide(line.substr(eq + 1));
    if (name == "exe") record.exe = value;
    if (name == "cwd") record.cwd = value;
    if (name == "arg") record.args.push_back(value);
  }
  return !record.exe.empty();
}

bool AnyRecordUnder(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((dir + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      found = AnyRecordUnder(dir + name + L"\\");
    } else {
      found = name == L"received.txt";
    }
  } while (!found && FindNextFileW(find, &entry));
  FindClose(find);
  return found;
}

}  // namespace

bool WaitForClientRecord(const std::wstring& version, ClientRecord& record, DWORD timeoutMs) {
  const std::wstring path = ClientRoot() + version + L"\\received.txt";
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  do {
    std::string text;
    if (ReadFileBytes(path, text) && ParseClientRecord(text, record)) return true;
    Sleep(20);
  } while (GetTickCount64() < deadline);
  return false;
}

bool NoClientStarted() {
  // A client started by the launcher would have written its record by the
  // time the launcher has gone and a short grace has passed.
  Sleep(300);
  return !AnyRecordUnder(ClientRoot());
}

// --- the launcher ---

std::wstring InstallDir() { return L"C:\\tollbury-test\\"; }

void PrepareInstall(const std::vector<std::wstring>& extraFiles) {
  RemoveTree(InstallDir());
  CreateDirectoryW(InstallDir().c_str(), nullptr);
  CopyFileW((BinDir() + L"tollbury.exe").c_str(), (InstallDir() + L"tollbury.exe").c_str(), FALSE);
  for (const std::wstring& file : extraFiles) {
    CopyFileW((BinDir() + file).c_str(), (InstallDir() + file).c_str(), FALSE);
  }
}

struct CapturedOutput {
  HANDLE pipe;
  std::string text;
};

namespace {

DWORD WINAPI ReadAll(void* param) {
  CapturedOutput* output = static_cast<CapturedOutput*>(param);
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(output->pipe, chunk, sizeof(chunk), &read, nullptr) && read > 0) output->text.append(chunk, read);
  return 0;
}

std::vector<std::wstring> SplitLines(const std::string& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(Utf8ToWide(text.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

}  // namespace

PendingLauncher StartLauncher(const std::wstring& arguments) {
  PendingLauncher pending;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return pending;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine = L"\"" + BinDir() + L"dbgcapture.exe\" \"" + InstallDir() + L"tollbury.exe\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;  // the capture tool writes there only when it cannot start the launcher
  startup.hStdInput = nullptr;
  PROCESS_INFORMATION info = {};
  const BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                      nullptr, &startup, &info);
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    return pending;
  }
  CloseHandle(info.hThread);
  pending.process = info.hProcess;
  pending.output = new CapturedOutput{readEnd, std::string()};
  pending.reader = CreateThread(nullptr, 0, ReadAll, pending.output, 0, nullptr);
  return pending;
}

LauncherRun FinishLauncher(PendingLauncher& pending, DWORD timeoutMs) {
  LauncherRun run;
  if (pending.process == nullptr) return run;
  run.finished = WaitForSingleObject(pending.process, timeoutMs) == WAIT_OBJECT_0;
  if (!run.finished) TerminateProcess(pending.process, 999);
  GetExitCodeProcess(pending.process, &run.exitCode);
  // The pipe closes when the capture tool and anything that inherited it end.
  if (WaitForSingleObject(pending.reader, 5000) != WAIT_OBJECT_0) CancelSynchronousIo(pending.reader);
  WaitForSingleObject(pending.reader, 1000);
  run.lines = SplitLines(pending.output->text);
  CloseHandle(pending.reader);
  CloseHandle(pending.output->pipe);
  CloseHandle(pending.process);
  delete pending.output;
  pending = PendingLauncher();
  return run;
}

LauncherRun RunLauncher(const std::wstring& arguments, DWORD timeoutMs, const wchar_t* wineDebug) {
  wchar_t tracePath[MAX_PATH] = L"", ownDebug[256] = L"";
  std::string before;
  if (wineDebug) {
    GetEnvironmentVariableW(L"TOLLBURY_WINE_TRACE", tracePath, MAX_PATH);
    ReadFileBytes(tracePath, before);
    GetEnvironmentVariableW(L"WINEDEBUG", ownDebug, 256);
    SetEnvironmentVariableW(L"WINEDEBUG", wineDebug);
  }
  // Wine's CreateProcessW now and then fails at once with 1359 when it starts
  // a debuggee on a busy machine. The launcher never ran then: start it again.
  const std::wstring notStarted = L"dbgcapture: cannot start the command, error 1359";
  LauncherRun run;
  for (int attempt = 0; attempt < 3; ++attempt) {
    PendingLauncher pending = StartLauncher(arguments);
    run = FinishLauncher(pending, timeoutMs);
    if (run.exitCode != 255 || run.lines.size() != 1 || run.lines[0].rfind(notStarted, 0) != 0) break;
    Sleep(500);
  }
  if (wineDebug) SetEnvironmentVariableW(L"WINEDEBUG", ownDebug);
  if (wineDebug && ReadFileBytes(tracePath, run.wineTrace)) run.wineTrace.erase(0, before.size());
  return run;
}

std::vector<std::string> ReportedEvents(const std::string& wineTrace) {
  // "fixme:advapi:ReportEventW (source,type,category,id,..." then "err:eventlog:ReportEventW L"<text>"".
  static const std::regex event(
      R"re(ReportEventW \(\w+,0x0*(\w+),\w+,0x0*(\w+),.*\n.*:eventlog:ReportEventW L"(.*)"\n)re");
  std::vector<std::string> events;
  for (std::sregex_iterator m(wineTrace.begin(), wineTrace.end(), event), end; m != end; ++m)
    events.push_back((*m)[1].str() + " " + (*m)[2].str() + " " + (*m)[3].str());
  return events;
}
