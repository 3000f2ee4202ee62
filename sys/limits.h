#pragma once
// Capacities of the launcher's working values, in wide characters including
// the terminator.

constexpr int SessionNameSize = 256;
constexpr int PathSize = 260;  // MAX_PATH
constexpr int VersionNameSize = 16;
constexpr int SessionKeyPathSize = 256;
constexpr int ServiceUrlSize = 256;
// The longest command line Windows accepts, terminator included. The client's
// quoted path and a space come before the handed-on arguments.
constexpr int CommandLineSize = 32767;
constexpr int PassThroughSize = CommandLineSize;

constexpr wchar_t SessionsKeyPrefix[] = L"SOFTWARE\\Verdanto\\Client\\sessions\\";
constexpr wchar_t TollburyKeyPath[] = L"SOFTWARE\\Verdanto\\Client\\Tollbury";
// Group Policy's own key: withdrawing the policy removes the values.
constexpr wchar_t TollburyPolicyKeyPath[] = L"SOFTWARE\\Policies\\Verdanto\\Client\\Tollbury";

// Longest session name whose registry key path still fits its buffer.
constexpr int MaxSessionNameLength =
    SessionKeyPathSize - 1 - static_cast<int>(sizeof(SessionsKeyPrefix) / sizeof(wchar_t) - 1);
