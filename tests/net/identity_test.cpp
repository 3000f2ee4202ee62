#include "net/identity.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::wstring ProgramFolder() {
  wchar_t module[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring folder(module, length);
  return folder.substr(0, folder.find_last_of(L'\\'));
}

// Runs a version probe and returns the text it wrote.
std::string ProbeVersionText(const std::wstring& probe) {
  const std::wstring folder = ProgramFolder();
  const std::wstring output = folder + L"\\" + probe + L".out";
  DeleteFileW(output.c_str());
  std::wstring commandLine = L"\"" + folder + L"\\" + probe + L".exe\" \"" + output + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start the probe, error " << GetLastError();
    return std::string();
  }
  const DWORD waited = WaitForSingleObject(process.hProcess, 30000);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(exitCode, 0u);
  std::string text;
  FILE* file = _wfopen(output.c_str(), L"rb");
  if (!file) {
    ADD_FAILURE() << "the probe wrote no output";
    return text;
  }
  char chunk[256];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) text.append(chunk, got);
  std::fclose(file);
  DeleteFileW(output.c_str());
  return text;
}

std::string FirstLocalAddressSeenBySockets() {
  WSADATA winsock;
  if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return "127.0.0.1";
  std::string text = "127.0.0.1";
  char name[1024];
  if (gethostname(name, sizeof(name)) == 0) {
    const hostent* host = gethostbyname(name);
    if (host && host->h_addr_list && host->h_addr_list[0]) {
      in_addr address;
      std::memcpy(&address, host->h_addr_list[0], sizeof(address));
      text = inet_ntoa(address);
    }
  }
  WSACleanup();
  return text;
}

}  // namespace

TEST(ClientIdentity, FormatsAddressBytesInDottedDecimal) {
  struct Case {
    unsigned char bytes[4];
    const char* text;
  };
  const Case cases[] = {
      {{10, 0, 0, 5}, "10.0.0.5"},
      {{127, 0, 0, 1}, "127.0.0.1"},
      {{0, 0, 0, 0}, "0.0.0.0"},
      {{255, 255, 255, 255}, "255.255.255.255"},
      {{192, 168, 100, 7}, "192.168.100.7"},
  };
  for (const Case& c : cases) {
    char text[ClientTextSize];
    std::memset(text, 'x', sizeof(text));
    FormatClientIpText(c.bytes, text);
    EXPECT_STREQ(text, c.text);
  }
}

TEST(ClientIdentity, IpTextIsTheHostsFirstAddress) {
  char text[ClientTextSize];
  std::memset(text, 'x', sizeof(text));
  GetClientIpAddress(text);
  EXPECT_EQ(std::string(text), FirstLocalAddressSeenBySockets());
  // Each call pairs its own start-up and clean-up, so repeated calls agree.
  char again[ClientTextSize];
  GetClientIpAddress(again);
  EXPECT_STREQ(again, text);
}

TEST(ClientIdentity, VersionTextIsCutAtACharacterBoundary) {
  const std::string ascii29 = "Version 3.06 build 2025-01-01";
  ASSERT_EQ(ascii29.size(), 29u);
  struct Case {
    std::wstring fileVersion;
    std::string text;
  };
  const Case cases[] = {
      {L"Version 3.06", "Version 3.06"},
      {L"", ""},
      {L"Versi\u00f3n 3.06 \u2603", "Versi\xc3\xb3n 3.06 \xe2\x98\x83"},
      {std::wstring(31, L'7'), std::string(31, '7')},
      {std::wstring(32, L'7'), std::string(31, '7')},
      {std::wstring(200, L'7'), std::string(31, '7')},
      // A two-byte character at bytes 31 and 32 is left out whole.
      {std::wstring(30, L'a') + L"\u00e9", std::string(30, 'a')},
      {std::wstring(29, L'a') + L"\u00e9", std::string(29, 'a') + "\xc3\xa9"},
      // A three-byte character across the end.
      {L"Version 3.06 build 2025-01-01\u20ac tail", ascii29},
      // A surrogate pair becomes four bytes, kept or dropped together.
      {std::wstring(28, L'a') + L"\U0001F600", std::string(28, 'a')},
      {std::wstring(27, L'a') + L"\U0001F600", std::string(27, 'a') + "\xf0\x9f\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char text[ClientTextSize];
    std::memset(text, 'x', sizeof(text));
    EXPECT_TRUE(ConvertClientVersionText(c.fileVersion.c_str(), text));
    EXPECT_EQ(std::string(text), c.text);
  }
}

TEST(ClientIdentity, VersionTextComesFromTheProgramsOwnResource) {
  struct Case {
    const wchar_t* probe;
    std::string text;
  };
  const Case cases[] = {
      {L"version_probe_plain", "Version 3.06"},
      {L"version_probe_other_language", "Version unknown"},
      {L"version_probe_empty", ""},
      {L"version_probe_non_ascii", "Versi\xc3\xb3n 3.06 \xe2\x98\x83"},
      {L"version_probe_long", "Version 3.06 build 2025-01-01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ProbeVersionText(c.probe), c.text);
  }
}

TEST(ClientIdentity, ProgramWithoutVersionResourceGetsTheDefault) {
  char text[ClientTextSize];
  std::memset(text, 'x', sizeof(text));
  GetClientVersionString(text);
  EXPECT_STREQ(text, "Version unknown");
}
