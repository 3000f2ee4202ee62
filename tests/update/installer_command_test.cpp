// The command line a verified download is started with.

#include "launcher/installer_command.h"

#include <string>

#include <gtest/gtest.h>

TEST(InstallerCommand, KindOfFileToCommandLine) {
  const std::wstring sys = L"C:\\Windows\\System32", msiexec = L"\"C:\\Windows\\System32\\msiexec.exe\" /i \"";
  // The longest .exe path whose quoted form fits with its terminator.
  const std::wstring longest = L"C:\\" + std::wstring(InstallerCommandSize - 10, L'x') + L".exe";
  const InstallerKind Msi = InstallerKind::Msi, Exe = InstallerKind::Exe, No = InstallerKind::Refused;
  struct Case {
    std::wstring path, system;
    InstallerKind kind;
    std::wstring commandLine;
  };  // program: its 1st part
  const Case cases[] = {
      {L"C:\\Users\\A B\\Update 3.1.msi", sys, Msi, msiexec + L"C:\\Users\\A B\\Update 3.1.msi\" /passive"},
      {L"C:\\T\\SETUP.MSI", sys, Msi, msiexec + L"C:\\T\\SETUP.MSI\" /passive"},
      {L"C:\\T\\a.msi", L"C:\\", Msi, L"\"C:\\msiexec.exe\" /i \"C:\\T\\a.msi\" /passive"},
      {L"C:\\T\\Setup 2.Exe", sys, Exe, L"\"C:\\T\\Setup 2.Exe\""},
      {L"C:/T.msi/setup.exe", sys, Exe, L"\"C:/T.msi/setup.exe\""},
      {longest, sys, Exe, L"\"" + longest + L"\""},
      {L"C:\\x" + longest.substr(3), sys, No, L""},
      {longest.substr(0, longest.size() - 4) + L".msi", sys, No, L""},
      {L"C:\\T\\setup", sys, No, L""},
      {L"C:\\T.msi\\setup", sys, No, L""},
      {L"C:\\T\\update.zip", sys, No, L""},
      {L"C:\\T\\a.msi.txt", sys, No, L""},
      {L"C:\\T\\a.msix", sys, No, L""},
      {L"C:\\T\\a.exe.", sys, No, L""},
      {L"C:\\T\\a\" /qn \"b.msi", sys, No, L""},
      {L"", sys, No, L""},
      {L"C:\\T\\a.msi", L"", No, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    InstallerCommand command;
    FormInstallerCommand(c.path.c_str(), c.system.c_str(), command);
    const std::wstring line = command.commandLine;
    EXPECT_EQ(c.kind, command.kind);
    EXPECT_EQ(c.commandLine, line);
    EXPECT_EQ(line.empty() ? L"" : line.substr(1, line.find(L'"', 1) - 1), std::wstring(command.program));
  }
}
