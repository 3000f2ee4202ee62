#pragma once
// The current user's proxy settings, in the registry value that WinHTTP
// reads them from, and the test proxy (tests/keyservice/connect_proxy.py)
// whose control directory TOLLBURY_PROXY_DIR names.

#include <windows.h>

#include <string>
#include <vector>

// The binary layout of the user's connection settings.
enum SettingsFlags : DWORD { Direct = 1, StaticProxy = 2, ProxyScript = 4 };

std::string ConnectionSettings(DWORD flags, const std::string& proxy, const std::string& bypass,
                               const std::string& scriptUrl);
bool ReadUserSettings(std::string& blob);
void WriteUserSettings(const std::string& blob);
void RemoveUserSettings();

std::wstring Environment(const wchar_t* name);
std::wstring ProxyFile(const wchar_t* name);
std::string ProxyAddress();  // "host:port"
// The tunnels the proxy opened, one line each.
std::vector<std::string> Tunnels();
