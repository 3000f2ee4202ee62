#include "tests/support/user_proxy.h"

#include <gtest/gtest.h>

#include "tests/support/machine.h"

namespace {

const wchar_t ConnectionsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
const wchar_t SettingsValue[] = L"DefaultConnectionSettings";

}  // namespace

std::string ConnectionSettings(DWORD flags, const std::string& proxy, const std::string& bypass,
                               const std::string& scriptUrl) {
  std::string blob;
  auto number = [&blob](DWORD value) { blob.append(reinterpret_cast<const char*>(&value), sizeof(value)); };
  auto text = [&](const std::string& value) {
    number(static_cast<DWORD>(value.size()));
    blob += value;
  };
  number(0x46);  // the version these settings are written in
  number(1);     // change counter
  number(flags);
  text(proxy);
  text(bypass);
  text(scriptUrl);
  blob.append(32, '\0');
  return blob;
}

bool ReadUserSettings(std::string& blob) {
  DWORD size = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, ConnectionsKey, SettingsValue, RRF_RT_REG_BINARY, nullptr, nullptr, &size) !=
      ERROR_SUCCESS)
    return false;
  blob.assign(size, '\0');
  return RegGetValueW(HKEY_CURRENT_USER, ConnectionsKey, SettingsValue, RRF_RT_REG_BINARY, nullptr, &blob[0], &size) ==
         ERROR_SUCCESS;
}

void WriteUserSettings(const std::string& blob) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, ConnectionsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, SettingsValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(blob.data()),
                 static_cast<DWORD>(blob.size()));
  RegCloseKey(key);
}

std::wstring Environment(const wchar_t* name) {
  wchar_t value[MAX_PATH] = L"";
  GetEnvironmentVariableW(name, value, MAX_PATH);
  return value;
}

std::wstring ProxyFile(const wchar_t* name) { return Environment(L"TOLLBURY_PROXY_DIR") + L"\\" + name; }

std::string ProxyAddress() {  // "host:port"
  std::string text;
  ReadFileBytes(ProxyFile(L"address"), text);
  return text.substr(0, text.find_first_of("\r\n"));
}

std::vector<std::string> Tunnels() {
  std::string text;
  ReadFileBytes(ProxyFile(L"tunnels.log"), text);
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

void RemoveUserSettings() { RegDeleteKeyValueW(HKEY_CURRENT_USER, ConnectionsKey, SettingsValue); }
