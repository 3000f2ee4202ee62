#include "tests/support/credui_control.h"

#include <cwchar>

#include <gtest/gtest.h>

#include "tests/support/machine.h"

namespace {

std::wstring Unescape(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const wchar_t next = text[++i];
    out += next == L'n' ? L'\n' : next == L't' ? L'\t' : next == L'r' ? L'\r' : next;
  }
  return out;
}

std::vector<std::wstring> SplitOn(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::wstring::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

CredUiAnswer ConfirmWith(const std::wstring& userName, const std::wstring& password) {
  CredUiAnswer answer;
  answer.kind = CredUiAnswer::Confirm;
  answer.userName = userName;
  answer.password = password;
  return answer;
}

CredUiAnswer CancelDialog() { return CredUiAnswer(); }

CredUiAnswer FailDialog(DWORD error) {
  CredUiAnswer answer;
  answer.kind = CredUiAnswer::Fail;
  answer.error = error;
  return answer;
}

void InstallCredUiStandIn(const std::vector<CredUiAnswer>& script) {
  const std::wstring standIn = BinDir() + L"credui-standin\\credui.dll";
  ASSERT_TRUE(CopyFileW(standIn.c_str(), (InstallDir() + L"credui.dll").c_str(), FALSE))
      << "stand-in credui.dll missing: " << WideToUtf8(standIn);
  std::wstring text;
  for (const CredUiAnswer& answer : script) {
    switch (answer.kind) {
      case CredUiAnswer::Confirm:
        text += L"ok\t" + answer.userName + L"\t" + answer.password + L"\n";
        break;
      case CredUiAnswer::Cancel:
        text += L"cancel\n";
        break;
      case CredUiAnswer::Fail:
        text += L"error\t" + std::to_wstring(answer.error) + L"\n";
        break;
    }
  }
  ASSERT_TRUE(WriteFileBytes(InstallDir() + L"credui-script.txt", WideToUtf8(text)));
  DeleteFileW((InstallDir() + L"credui-calls.txt").c_str());
}

std::vector<CredUiCall> CredUiCalls() {
  std::vector<CredUiCall> calls;
  std::string bytes;
  if (!ReadFileBytes(InstallDir() + L"credui-calls.txt", bytes)) return calls;
  for (const std::wstring& line : SplitOn(Utf8ToWide(bytes), L'\n')) {
    if (line.empty()) continue;
    const std::vector<std::wstring> field = SplitOn(line, L'\t');
    if (field.size() != 10) {
      ADD_FAILURE() << "malformed stand-in record: " << WideToUtf8(line);
      continue;
    }
    CredUiCall call;
    call.flags = std::wcstoul(field[0].c_str(), nullptr, 16);
    call.caption = Unescape(field[1]);
    call.message = Unescape(field[2]);
    call.target = Unescape(field[3]);
    call.userNameSize = std::wcstoul(field[4].c_str(), nullptr, 10);
    call.passwordSize = std::wcstoul(field[5].c_str(), nullptr, 10);
    call.saveOnEntry = std::wcstol(field[6].c_str(), nullptr, 10);
    call.authError = std::wcstoul(field[7].c_str(), nullptr, 10);
    call.userNameEmptyOnEntry = field[8] == L"1";
    call.passwordEmptyOnEntry = field[9] == L"1";
    calls.push_back(call);
  }
  return calls;
}
