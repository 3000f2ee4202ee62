// The real tollbury.exe, started through the capture tool against a real
// registry and client tree.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/machine.h"

namespace {

using Lines = std::vector<std::wstring>;

const wchar_t* const Discovered = L"[tollbury] Discovered directory: ";

bool IsDiscoveryLine(const std::wstring& line) { return line.rfind(Discovered, 0) == 0; }

// Discovery lines come in the file system's order; everything else in the
// program's order.
Lines DiscoveryLines(const LauncherRun& run) {
  Lines found;
  for (const std::wstring& line : run.lines) {
    if (IsDiscoveryLine(line)) found.push_back(line.substr(wcslen(Discovered)));
  }
  std::sort(found.begin(), found.end());
  return found;
}

Lines OtherLines(const LauncherRun& run) {
  Lines other;
  for (const std::wstring& line : run.lines) {
    if (!IsDiscoveryLine(line)) other.push_back(line);
  }
  return other;
}

std::wstring Joined(const Lines& lines) {
  std::wstring all;
  for (const std::wstring& line : lines) all += line + L"\n";
  return all;
}

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

class LauncherTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { PrepareInstall(); }
  void SetUp() override {
    SetUpPlainMachine();
    ResetClientRoot();
  }
};

TEST_F(LauncherTest, StartsNewestVersionWithArgumentsHandedOn) {
  for (const wchar_t* name : {L"2.0.4", L"2.5", L"2.1.0", L"0.9", L"beta", L".9.9.9"}) AddVersionDir(name);
  AddVersionDir(L"9.0", false);  // half-installed update: no client inside
  WriteFileBytes(ClientRoot() + L"9.9.9", "a file, not a directory");

  const LauncherRun run = RunLauncher(L"-no_upgrade \"with blanks\" say\\\"hi\\\" -v");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_EQ((Lines{L"0.9", L"2.0.4", L"2.1.0", L"2.5", L"9.0", L"beta"}), DiscoveryLines(run));
  EXPECT_EQ(
      (Lines{L"[tollbury] Directory holds no rudavuvav.exe, skipped: 9.0", L"[tollbury] Launching rudavuvav.exe"}),
      OtherLines(run))
      << Narrow(Joined(run.lines));

  ClientRecord record;
  ASSERT_TRUE(WaitForClientRecord(L"2.1.0", record));
  EXPECT_EQ(ClientRoot() + L"2.1.0", record.cwd);
  EXPECT_EQ(ClientRoot() + L"2.1.0\\rudavuvav.exe", record.exe);
  EXPECT_EQ((Lines{L"with blanks", L"say\"hi\"", L"-v"}), record.args);
}

TEST_F(LauncherTest, HalfInstalledNewestDirectoryIsPassedOver) {
  AddVersionDir(L"3.0.0");
  AddVersionDir(L"4.0.0", false);
  const LauncherRun run = RunLauncher(L"-no_upgrade");
  EXPECT_EQ((Lines{L"3.0.0", L"4.0.0"}), DiscoveryLines(run));
  EXPECT_EQ(
      (Lines{L"[tollbury] Directory holds no rudavuvav.exe, skipped: 4.0.0", L"[tollbury] Launching rudavuvav.exe"}),
      OtherLines(run));
  ClientRecord record;
  EXPECT_TRUE(WaitForClientRecord(L"3.0.0", record));
}

TEST_F(LauncherTest, VersionNameTooLongIsLoggedButNeverAdopted) {
  AddVersionDir(L"1.2.3");
  AddVersionDir(L"9.0.0.0000000001");  // 16 characters: does not fit the name buffer
  const LauncherRun run = RunLauncher(L"-no_upgrade");
  EXPECT_EQ((Lines{L"1.2.3", L"9.0.0.0000000001"}), DiscoveryLines(run));
  EXPECT_EQ((Lines{L"[tollbury] Directory name is too long for a version, skipped: 9.0.0.0000000001",
                   L"[tollbury] Launching rudavuvav.exe"}),
            OtherLines(run));
  ClientRecord record;
  EXPECT_TRUE(WaitForClientRecord(L"1.2.3", record));
}

TEST_F(LauncherTest, NoRankingVersionFallsBackToOneZeroZero) {
  for (const wchar_t* name : {L"0", L"beta"}) AddVersionDir(name);
  // A client on PATH (here the one in "beta") must not stand in for the missing one.
  wchar_t path[4096];
  const DWORD pathLength = GetEnvironmentVariableW(L"PATH", path, 4096);
  SetEnvironmentVariableW(L"PATH", (ClientRoot() + L"beta;" + path).c_str());
  const LauncherRun run = RunLauncher(L"-no_upgrade");
  SetEnvironmentVariableW(L"PATH", pathLength > 0 && pathLength < 4096 ? path : nullptr);
  EXPECT_EQ(0u, run.exitCode);
  const Lines other = OtherLines(run);
  ASSERT_EQ(2u, other.size()) << Narrow(Joined(run.lines));
  EXPECT_EQ(L"[tollbury] Launching rudavuvav.exe", other[0]);
  // The folder 1.0.0 does not exist, so the start fails and says so.
  EXPECT_EQ(0u, other[1].rfind(L"[tollbury] Could not start rudavuvav.exe: ShellExecute result ", 0))
      << Narrow(other[1]);
  EXPECT_TRUE(NoClientStarted());
}

TEST_F(LauncherTest, EmptyClientRootStartsFromOneZeroZero) {
  const LauncherRun run = RunLauncher(L"");
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_TRUE(DiscoveryLines(run).empty());
  ASSERT_GE(run.lines.size(), 2u);
  EXPECT_EQ(L"[tollbury] Launching rudavuvav.exe", run.lines[run.lines.size() - 2]);
}

TEST_F(LauncherTest, RegistrySettingsLogLines) {
  AddVersionDir(L"1.0.1");
  struct Case {
    const char* title;
    void (*prepare)();
    const wchar_t* arguments;
    Lines expected;
  } cases[] = {
      {"session missing",
       [] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, SessionKey(L"vrd").c_str()); },
       L"-no_upgrade",
       {L"[tollbury] Registry is missing info for session 'vrd'.", L"[tollbury] Launching rudavuvav.exe"}},
      {"other session via -load",
       [] { CreateKey(SessionKey(L"east")); },
       L"-load east -no_upgrade",
       {L"[tollbury] Launching rudavuvav.exe"}},
      {"-load of a missing session",
       [] {},
       L"-load west /no_upgrade",
       {L"[tollbury] Registry is missing info for session 'west'.", L"[tollbury] Launching rudavuvav.exe"}},
      {"single-user without Server",
       [] { SetRegDword(SessionKey(L"vrd"), L"SingleUser", 1); },
       L"-no_upgrade",
       {L"[tollbury] Registry is missing the Server value for session 'vrd'; keys cannot be checked.",
        L"[tollbury] Going into single user mode", L"[tollbury] Launching rudavuvav.exe"}},
      {"SingleUser 0",
       [] { SetRegDword(SessionKey(L"vrd"), L"SingleUser", 0); },
       L"-no_upgrade",
       {L"[tollbury] Launching rudavuvav.exe"}},
      {"SingleUser as text",
       [] { SetRegString(SessionKey(L"vrd"), L"SingleUser", L"1"); },
       L"-no_upgrade",
       {L"[tollbury] Launching rudavuvav.exe"}},
      {"Server too long for a URL",
       [] {
         SetRegDword(SessionKey(L"vrd"), L"SingleUser", 1);
         SetRegString(SessionKey(L"vrd"), L"Server", std::wstring(250, L'h'));
       },
       L"-no_upgrade",
       {L"[tollbury] Server value for session 'vrd' is too long for a service URL; keys cannot be checked.",
        L"[tollbury] Going into single user mode", L"[tollbury] Launching rudavuvav.exe"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    SetUpPlainMachine();
    c.prepare();
    const LauncherRun run = RunLauncher(c.arguments);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(c.expected, OtherLines(run)) << Narrow(Joined(run.lines));
  }
}

TEST_F(LauncherTest, SessionNameTooLongIsRefused) {
  AddVersionDir(L"1.0.1");
  const std::wstring name(230, L'n');
  const LauncherRun run = RunLauncher(L"-no_upgrade -load " + name);
  EXPECT_EQ((Lines{L"[tollbury] Session name given with -load is too long, keeping session 'vrd'.",
                   L"[tollbury] Launching rudavuvav.exe"}),
            OtherLines(run));
  ClientRecord record;
  ASSERT_TRUE(WaitForClientRecord(L"1.0.1", record));
  EXPECT_EQ((Lines{L"-load", name}), record.args);
}

TEST_F(LauncherTest, LongCommandLineReachesClientWhole) {
  AddVersionDir(L"1.0.1");
  const Lines args = {std::wstring(15000, L'x'), L"two words", std::wstring(14990, L'y'), L"", L"end\\"};
  std::wstring commandLine = L"-no_upgrade";
  for (const std::wstring& a : args) {
    commandLine += L" \"" + (a == L"end\\" ? std::wstring(L"end\\\\") : a) + L"\"";
  }
  ASSERT_GT(commandLine.size(), 30000u);
  const LauncherRun run = RunLauncher(commandLine);
  EXPECT_EQ((Lines{L"[tollbury] Launching rudavuvav.exe"}), OtherLines(run)) << Narrow(Joined(run.lines));
  ClientRecord record;
  ASSERT_TRUE(WaitForClientRecord(L"1.0.1", record));
  EXPECT_EQ(args, record.args);
  EXPECT_EQ(ClientRoot() + L"1.0.1", record.cwd);
}

// ShellExecuteW takes a whole command line of at most 2,048 characters,
// CreateProcessW the rest; a start that fails (no folder 1.0.0) names which.
TEST_F(LauncherTest, CommandLinesBeyondTheShellsLimitGoToCreateProcess) {
  const size_t before = (ClientRoot() + L"1.0.0\\rudavuvav.exe").size() + 3;  // the quoted path and a space
  for (size_t whole : {2048u, 2049u}) {
    SCOPED_TRACE(whole);
    const Lines other = OtherLines(RunLauncher(L"-no_upgrade " + std::wstring(whole - before - 1, L'a')));
    ASSERT_EQ(2u, other.size()) << Narrow(Joined(other));
    const std::wstring route = whole <= 2048 ? L"ShellExecute result " : L"CreateProcess error ";
    EXPECT_EQ(0u, other[1].rfind(L"[tollbury] Could not start rudavuvav.exe: " + route, 0)) << Narrow(other[1]);
  }
}

TEST_F(LauncherTest, ClientAskingForElevationGetsTheShellsShareOfALongLine) {
  GTEST_SKIP() << "CreateProcessW fails with ERROR_ELEVATION_REQUIRED only for a user who is not elevated and a "
                  "client that asks for it; under Wine every user is an elevated administrator";
}

// Without the capture tool, whose own command line could not hold arguments
// this long. Returns the exit code.
DWORD RunLauncherUncaptured(const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + InstallDir() + L"tollbury.exe\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  // Once in three clean runs under Wine this start failed at once. The
  // launcher never ran then, so the start is tried again, with the error
  // printed for whoever reads the log.
  int attempt = 0;
  while (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    const DWORD error = GetLastError();
    if (++attempt == 3) {
      ADD_FAILURE() << "CreateProcessW failed with " << error << " for " << commandLine.size() << " characters";
      return 999;
    }
    std::printf("CreateProcessW failed with %lu for %zu characters; trying again\n", error, commandLine.size());
    Sleep(500);
  }
  CloseHandle(info.hThread);
  DWORD exitCode = 999;
  const DWORD waited = WaitForSingleObject(info.hProcess, 60000);
  if (waited == WAIT_OBJECT_0)
    GetExitCodeProcess(info.hProcess, &exitCode);
  else
    ADD_FAILURE() << "waiting for the launcher gave " << waited << ", error " << GetLastError();
  CloseHandle(info.hProcess);
  return exitCode;
}

TEST_F(LauncherTest, ArgumentsFillTheClientsCommandLineExactly) {
  // The client's command line is its quoted path, a space and the handed-on
  // text, every argument followed by a space: 32,766 characters at most.
  const std::wstring version = L"1.0.1";
  const std::wstring clientPath = ClientRoot() + version + L"\\rudavuvav.exe";
  const size_t room = 32766 - (clientPath.size() + 3);
  const std::wstring last = L"-end";
  const size_t fitting = room - (last.size() + 1) - 1;
  for (size_t firstLength : {fitting, fitting + 1}) {
    SCOPED_TRACE(firstLength == fitting ? "exactly full" : "one character over");
    ResetClientRoot();
    AddVersionDir(version);
    const std::wstring first(firstLength, L'a');
    EXPECT_EQ(0u, RunLauncherUncaptured(first + L" " + last));
    ClientRecord record;
    ASSERT_TRUE(WaitForClientRecord(version, record));
    // One character over, the last argument is dropped whole, never cut.
    const Lines expected = firstLength == fitting ? Lines({first, last}) : Lines({first});
    EXPECT_TRUE(expected == record.args) << record.args.size() << " arguments, the last of "
                                         << (record.args.empty() ? 0 : record.args.back().size()) << " characters";
  }
}

TEST_F(LauncherTest, UpgradeCheckNotReadWithNoUpgradeOption) {
  AddVersionDir(L"1.0.1");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, TollburyKey);
  // Without the option the missing key is reported; with it, the key is not
  // read for the upgrade setting at all.
  const LauncherRun withOption = RunLauncher(L"/no_upgrade");
  const std::wstring missing = L"[tollbury] Registry is missing Tollbury info.";
  const Lines lines = OtherLines(withOption);
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(), missing)) << "only the gate reads the key";
  const LauncherRun without = RunLauncher(L"");
  const Lines lines2 = OtherLines(without);
  EXPECT_EQ(2, std::count(lines2.begin(), lines2.end(), missing)) << Narrow(Joined(without.lines));
}

}  // namespace

namespace {

const wchar_t* const ShellFolders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

void SetCommonAppData(const std::wstring& value) {
  SetRegBytes(ShellFolders, L"Common AppData", REG_EXPAND_SZ, value.c_str(),
              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

struct CommonAppDataRestorer {
  ~CommonAppDataRestorer() { SetCommonAppData(L"%ProgramData%"); }
};

TEST_F(LauncherTest, NoCommonAppDataFolderStartsNothing) {
  AddVersionDir(L"1.0.1");
  CommonAppDataRestorer restore;
  SetCommonAppData(L"X:\\no such folder");  // the shell then cannot give the folder
  const LauncherRun run = RunLauncher(L"-no_upgrade");
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_EQ((Lines{L"[tollbury] Cannot locate the client directory under the common application data folder.",
                   L"[tollbury] No usable client directory for version 1.0.0, rudavuvav.exe not started"}),
            run.lines);
  EXPECT_TRUE(NoClientStarted());
}

TEST_F(LauncherTest, FailuresReachTheEventLogOnlyWhenThePolicyIsOn) {
  // Each start fails three times: a line of the key exchange, its error box, no client to start.
  const std::vector<std::string> reported = {
      "1 f ServerKeyPins for session 'vrd' is not a valid pin list: pin 1 is not the base64 text of a SHA-256 "
      "digest (44 characters). Nothing is sent to the key service.",
      "1 a Communications error with Tidewire URL:\\nhttps://127.0.0.254/keys\\nStatus=500, Error Code=1610",
      "1 1 Could not start rudavuvav.exe: ShellExecute result 2, error 3"};
  const struct {
    const char* title;
    DWORD type, value;
  } cases[] = {// ReportToEventLog (REG_NONE: missing)
               {"on", REG_DWORD, 7},
               {"off", REG_DWORD, 0},
               {"of another type", REG_SZ, 1},
               {"missing", REG_NONE, 0}};
  const wchar_t* const policyKey = L"SOFTWARE\\Policies\\Verdanto\\Client\\Tollbury";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    SetUpPlainMachine();
    ResetClientRoot();
    SetRegDword(SessionKey(L"vrd"), L"SingleUser", 1);
    SetRegString(SessionKey(L"vrd"), L"Server", L"https://127.0.0.254/keys");
    SetRegString(SessionKey(L"vrd"), L"ServerKeyPins", L"sha256//abc");
    WriteFileBytes(ClientRoot() + L"vrd-key.ppk", "k");
    WriteFileBytes(ClientRoot() + L"vrd-upload-key.ppk", "u");
    if (c.type != REG_NONE) SetRegBytes(policyKey, L"ReportToEventLog", c.type, &c.value, sizeof(DWORD));
    const LauncherRun run = RunLauncher(L"", 60000, L"-all,+eventlog,fixme+advapi,+loaddll");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, policyKey);
    ASSERT_NE(std::string::npos, run.wineTrace.find(":loaddll:")) << "no trace in TOLLBURY_WINE_TRACE";
    const std::vector<std::string> events = ReportedEvents(run.wineTrace);
    EXPECT_EQ(c.value != 0 && c.type == REG_DWORD ? reported : std::vector<std::string>(), events) << run.wineTrace;
    EXPECT_EQ(events.empty(), run.wineTrace.find("RegisterEventSource") == std::string::npos);
  }
}

// What Windows itself reads from tollbury.exe: the manifest's visual styles
// and DPI settings, and an icon image for every size the shell draws.
TEST_F(LauncherTest, ManifestAndIconResources) {
  const HMODULE exe = LoadLibraryExW((BinDir() + L"tollbury.exe").c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(nullptr, exe);
  const auto resource = [exe](const wchar_t* type, int id) {
    const HRSRC found = FindResourceW(exe, MAKEINTRESOURCEW(id), type);
    const char* data = found ? static_cast<const char*>(LockResource(LoadResource(exe, found))) : nullptr;
    return data ? std::string(data, SizeofResource(exe, found)) : std::string();
  };
  const std::string manifest = resource(RT_MANIFEST, 1);
  for (const char* setting :
       {"name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
        "<application xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n    <windowsSettings>",
        "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>",
        "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2, "
        "system</dpiAwareness>"}) {
    EXPECT_NE(std::string::npos, manifest.find(setting)) << setting;
  }
  const std::string version = resource(RT_VERSION, 1);
  const size_t fixed = version.find("\xBD\x04\xEF\xFE");  // VS_FIXEDFILEINFO's signature
  ASSERT_NE(std::string::npos, fixed);
  const auto* file = reinterpret_cast<const VS_FIXEDFILEINFO*>(version.data() + fixed);
  char assembly[80];
  std::snprintf(assembly, sizeof assembly, "name=\"Verdanto.Tollbury\" version=\"%u.%u.%u.%u\"",
                HIWORD(file->dwFileVersionMS), LOWORD(file->dwFileVersionMS), HIWORD(file->dwFileVersionLS),
                LOWORD(file->dwFileVersionLS));
  EXPECT_NE(std::string::npos, manifest.find(assembly))
      << "the manifest's version is not the FILEVERSION: " << assembly;
  std::string group = resource(RT_GROUP_ICON, 1);
  for (int size : {16, 20, 24, 32, 40, 48, 64, 256}) {
    const int id = LookupIconIdFromDirectoryEx(reinterpret_cast<BYTE*>(&group[0]), TRUE, size, size, 0);
    std::string image = resource(RT_ICON, id);
    const bool png = image.compare(0, 4, "\x89PNG") == 0;
    DWORD width = 0;  // a PNG's IHDR width is big-endian, a DIB header's little-endian
    for (int i = 0; i < 4 && image.size() > 20; ++i) {
      width |= static_cast<DWORD>(static_cast<unsigned char>(image[png ? 19 - i : 4 + i])) << (8 * i);
    }
    EXPECT_EQ(static_cast<DWORD>(size), width) << "no image of " << size << " pixels";
    EXPECT_EQ(size == 256, png) << size;
    const HICON icon = CreateIconFromResourceEx(reinterpret_cast<BYTE*>(&image[0]), static_cast<DWORD>(image.size()),
                                                TRUE, 0x00030000, size, size, 0);
    EXPECT_NE(nullptr, icon) << size;
    if (icon) DestroyIcon(icon);
  }
  FreeLibrary(exe);
}

}  // namespace
