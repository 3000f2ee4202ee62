// Stand-in for credui.dll, loaded from beside the exe in place of the
// system's. Each CredUIPromptForCredentialsW call appends one line to
// "credui-calls.txt" in the DLL's folder and answers with the next line of
// "credui-script.txt" there:
//   ok<TAB>user name<TAB>password   fill both buffers, return 0
//   error<TAB>code                  return that code, buffers untouched
//   cancel                          return ERROR_CANCELLED
// Once the script is used up every call is cancelled, so a caller that keeps
// asking still comes to an end.
//
// Call record, UTF-8, fields separated by TAB, texts escaped (\\ \t \n \r):
//   flags (hex) TAB caption TAB message TAB target TAB user buffer size TAB
//   password buffer size TAB save flag on entry TAB auth error TAB
//   user buffer empty on entry (1/0) TAB password buffer empty on entry (1/0)

#include <windows.h>
#include <wincred.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

std::wstring SideFile(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(ThisModule(), path, MAX_PATH);
  std::wstring dir(path, length);
  return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::wstring Escape(const wchar_t* text) {
  std::wstring out;
  if (text == nullptr) return L"(null)";
  for (; *text != L'\0'; ++text) {
    switch (*text) {
      case L'\\':
        out += L"\\\\";
        break;
      case L'\t':
        out += L"\\t";
        break;
      case L'\n':
        out += L"\\n";
        break;
      case L'\r':
        out += L"\\r";
        break;
      default:
        out += *text;
    }
  }
  return out;
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
  CloseHandle(file);
  return true;
}

void AppendLine(const std::wstring& path, const std::string& line) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

// Line `index` (0-based) of the script, without its line end; false past the end.
bool ScriptLine(int index, std::wstring& line) {
  std::string script;
  if (!ReadWholeFile(SideFile(L"credui-script.txt"), script)) return false;
  size_t start = 0;
  for (int i = 0; start < script.size(); ++i) {
    size_t end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    if (i == index) {
      std::string text = script.substr(start, end - start);
      if (!text.empty() && text.back() == '\r') text.pop_back();
      line = FromUtf8(text);
      return true;
    }
    start = end + 1;
  }
  return false;
}

std::wstring Field(const std::wstring& line, int index) {
  size_t start = 0;
  for (int i = 0; i < index; ++i) {
    start = line.find(L'\t', start);
    if (start == std::wstring::npos) return std::wstring();
    ++start;
  }
  return line.substr(start, line.find(L'\t', start) - start);
}

int CountRecordedCalls() {
  std::string calls;
  if (!ReadWholeFile(SideFile(L"credui-calls.txt"), calls)) return 0;
  return static_cast<int>(std::count(calls.begin(), calls.end(), '\n'));
}

void CopyBounded(PWSTR target, ULONG size, const std::wstring& text) {
  if (target == nullptr || size == 0) return;
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::wmemcpy(target, text.data(), n);
  target[n] = L'\0';
}

}  // namespace

extern "C" DWORD WINAPI CredUIPromptForCredentialsW(PCREDUI_INFOW info, PCWSTR target, PCtxtHandle context,
                                                    DWORD authError, PWSTR userName, ULONG userNameSize, PWSTR password,
                                                    ULONG passwordSize, BOOL* save, DWORD flags) {
  (void)context;
  const int callIndex = CountRecordedCalls();
  wchar_t numbers[160];
  _snwprintf(numbers, 160, L"%lu\t%lu\t%d\t%lu\t%d\t%d", userNameSize, passwordSize, save != nullptr ? *save : -1,
             authError, userName != nullptr && userName[0] == L'\0', password != nullptr && password[0] == L'\0');
  numbers[159] = L'\0';
  wchar_t flagText[16];
  _snwprintf(flagText, 16, L"%lx", flags);
  flagText[15] = L'\0';
  const std::wstring record =
      std::wstring(flagText) + L"\t" + Escape(info != nullptr ? info->pszCaptionText : nullptr) + L"\t" +
      Escape(info != nullptr ? info->pszMessageText : nullptr) + L"\t" + Escape(target) + L"\t" + numbers + L"\n";
  AppendLine(SideFile(L"credui-calls.txt"), ToUtf8(record));

  std::wstring line;
  if (!ScriptLine(callIndex, line)) return ERROR_CANCELLED;
  const std::wstring action = Field(line, 0);
  if (action == L"ok") {
    CopyBounded(userName, userNameSize, Field(line, 1));
    CopyBounded(password, passwordSize, Field(line, 2));
    return NO_ERROR;
  }
  if (action == L"error") return static_cast<DWORD>(std::wcstoul(Field(line, 1).c_str(), nullptr, 10));
  return ERROR_CANCELLED;
}
