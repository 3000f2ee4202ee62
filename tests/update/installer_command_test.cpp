// The command line a verified download is started with.

#include <gtest/gtest.h>

#include <string>

#include "launcher/installer_command.h"

namespace {

const std::wstring System = L"C:\\Windows\\System32";
const std::wstring Msiexec = System + L"\\msiexec.exe";

TEST(InstallerCommand, KindOfFileToCommandLine) {
  // "x" + this many characters + ".exe" is the longest .exe whose quoted
  // path fits, with its terminator.
  const std::wstring longest = L"C:\\" + std::wstring(InstallerCommandSize - 3 - 3 - 4, L'x') + L".exe";
  struct Case {
    const char* what;
    std::wstring path;
    std::wstring system;
    InstallerKind kind;
    std::wstring program;
    std::wstring commandLine;
  };
  const Case cases[] = {
      {"msi, spaces in the path", L"C:\\Users\\A B\\Temp\\Update 3.1.msi", System, InstallerKind::Msi, Msiexec,
       L"\"" + Msiexec + L"\" /i \"C:\\Users\\A B\\Temp\\Update 3.1.msi\" /passive"},
      {"uppercase extension", L"C:\\T\\SETUP.MSI", System, InstallerKind::Msi, Msiexec,
       L"\"" + Msiexec + L"\" /i \"C:\\T\\SETUP.MSI\" /passive"},
      {"system folder with its backslash", L"C:\\T\\a.msi", L"C:\\", InstallerKind::Msi, L"C:\\msiexec.exe",
       L"\"C:\\msiexec.exe\" /i \"C:\\T\\a.msi\" /passive"},
      {"exe, no arguments", L"C:\\T\\Setup 2.Exe", System, InstallerKind::Exe, L"C:\\T\\Setup 2.Exe",
       L"\"C:\\T\\Setup 2.Exe\""},
      {"forward slashes", L"C:/T.msi/setup.exe", System, InstallerKind::Exe, L"C:/T.msi/setup.exe",
       L"\"C:/T.msi/setup.exe\""},
      {"longest that fits", longest, System, InstallerKind::Exe, longest, L"\"" + longest + L"\""},
      {"one character too long", L"C:\\x" + longest.substr(3), System, InstallerKind::Refused, L"", L""},
      {"msi path too long with msiexec", longest.substr(0, longest.size() - 4) + L".msi", System,
       InstallerKind::Refused, L"", L""},
      {"no extension", L"C:\\T\\setup", System, InstallerKind::Refused, L"", L""},
      {"dot in the folder only", L"C:\\T.msi\\setup", System, InstallerKind::Refused, L"", L""},
      {"other kind", L"C:\\T\\update.zip", System, InstallerKind::Refused, L"", L""},
      {"msi as a middle extension", L"C:\\T\\setup.msi.txt", System, InstallerKind::Refused, L"", L""},
      {"extension longer", L"C:\\T\\setup.msix", System, InstallerKind::Refused, L"", L""},
      {"trailing dot", L"C:\\T\\setup.exe.", System, InstallerKind::Refused, L"", L""},
      {"quote in the path", L"C:\\T\\a\" /qn \"b.msi", System, InstallerKind::Refused, L"", L""},
      {"empty path", L"", System, InstallerKind::Refused, L"", L""},
      {"msi without the system folder", L"C:\\T\\a.msi", L"", InstallerKind::Refused, L"", L""},
  };
  for (const Case& c : cases) {
    InstallerCommand command;
    FormInstallerCommand(c.path.c_str(), c.system.c_str(), command);
    EXPECT_EQ(c.kind, command.kind) << c.what;
    EXPECT_EQ(c.program, std::wstring(command.program)) << c.what;
    EXPECT_EQ(c.commandLine, std::wstring(command.commandLine)) << c.what;
  }
}

}  // namespace
