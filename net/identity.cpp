#include "net/identity.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char DefaultIpText[] = "127.0.0.1";
const char DefaultVersionText[] = "Version unknown";

void CopyText(const char* text, char (&target)[ClientTextSize]) { std::snprintf(target, ClientTextSize, "%s", text); }

bool IsUtf8ContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

bool FirstAddressOfLocalHost(unsigned char (&address)[4]) {
  char hostName[1024];
  if (gethostname(hostName, sizeof(hostName)) == SOCKET_ERROR) return false;
  const hostent* host = gethostbyname(hostName);
  if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list || !host->h_addr_list[0])
    return false;
  std::memcpy(address, host->h_addr_list[0], sizeof(address));
  return true;
}

}  // namespace

void FormatClientIpText(const unsigned char (&address)[4], char (&ipText)[ClientTextSize]) {
  std::snprintf(ipText, ClientTextSize, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
}

void GetClientIpAddress(char (&ipText)[ClientTextSize]) {
  CopyText(DefaultIpText, ipText);
  WSADATA winsock;
  if (WSAStartup(0x0002, &winsock) != 0) return;
  unsigned char address[4];
  if (FirstAddressOfLocalHost(address)) FormatClientIpText(address, ipText);
  WSACleanup();
}

bool ConvertClientVersionText(const wchar_t* fileVersion, char (&versionText)[ClientTextSize]) {
  const int needed = WideCharToMultiByte(CP_UTF8, 0, fileVersion, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return false;
  if (needed <= ClientTextSize)
    return WideCharToMultiByte(CP_UTF8, 0, fileVersion, -1, versionText, ClientTextSize, nullptr, nullptr) > 0;
  // Too long for the buffer: convert in full, then cut before the character
  // that would straddle the end so that the text stays valid UTF-8.
  char* whole = static_cast<char*>(std::malloc(static_cast<size_t>(needed)));
  if (!whole) return false;
  bool converted = WideCharToMultiByte(CP_UTF8, 0, fileVersion, -1, whole, needed, nullptr, nullptr) > 0;
  if (converted) {
    int length = ClientTextSize - 1;
    while (length > 0 && IsUtf8ContinuationByte(whole[length])) --length;
    std::memcpy(versionText, whole, static_cast<size_t>(length));
    versionText[length] = '\0';
  }
  std::free(whole);
  return converted;
}

void GetClientVersionString(char (&versionText)[ClientTextSize]) {
  CopyText(DefaultVersionText, versionText);
  HMODULE self = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(1), RT_VERSION);
  if (!found) return;
  HGLOBAL loaded = LoadResource(self, found);
  if (!loaded) return;
  void* block = LockResource(loaded);
  if (block) {
    void* value = nullptr;
    UINT valueLength = 0;
    if (VerQueryValueW(block, FileVersionQuery, &value, &valueLength) && value)
      ConvertClientVersionText(static_cast<const wchar_t*>(value), versionText);
  }
  FreeResource(loaded);
}
