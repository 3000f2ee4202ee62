// The update check through the real tollbury.exe and the stand-in framework.

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "sys/handle_guard.h"
#include "sys/limits.h"
#include "tests/update/e2e_helpers.h"

namespace {

const std::string Host = "updates.verdanto.test";

class UpdateCheck : public ::testing::Test {
 protected:
  void SetUp() override { SetUpCheckingMachine(); }
};

TEST_F(UpdateCheck, TwelveCallsInOrderWithTheirArguments) {
  struct Case {
    const wchar_t* installedVersion;  // none: nothing installed
    std::string reported;
  };
  const Case cases[] = {{L"2.4.1", "2.4.1"}, {nullptr, "1.0.0"}};
  for (const Case& c : cases) {
    SetUpCheckingMachine();
    if (c.installedVersion == nullptr) ResetClientRoot();

    const LauncherRun run = RunLauncher(L"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    // With nothing installed, what follows the launch line is the launch's
    // own business.
    Lines lines = WithCallbackLineInPlace(ProgramLines(run), NoUpdateLine);
    if (lines.size() > 4) lines.resize(4);
    EXPECT_EQ((Lines{CheckingLine, WaitingLine, GotSignalLine, LaunchingLine}), lines) << Dump(run);
    EXPECT_EQ(ExpectedStandInCalls(Host, c.reported, {"answer did_not_find_update"}), StandInTexts()) << c.reported;

    const std::vector<StandInEvent> events = StandInEvents();
    for (const StandInEvent& event : events) EXPECT_EQ(events.front().processId, event.processId);
  }
}

TEST_F(UpdateCheck, EachOutcomeCallback) {
  struct Case {
    const wchar_t* outcome;
    bool singleUser;
    const wchar_t* callbackLine;
    std::vector<std::string> answer;
    bool launches;
  };
  const Case cases[] = {
      {L"no-update", false, NoUpdateLine, {"answer did_not_find_update"}, true},
      {L"cancelled", false, L"[tollbury] CancelledUpdateCallback(), signaled event", {"answer update_cancelled"}, true},
      {L"error", false, L"[tollbury] ErrorCallback(), signaled event", {"answer error"}, true},
      {L"shutdown",
       false,
       L"[tollbury] ShutdownCallback(), signaled event",
       {"asked can_shutdown: 1", "answer shutdown_request"},
       false},
      {L"shutdown",
       true,
       L"[tollbury] ShutdownCallback(), signaled event",
       {"asked can_shutdown: 1", "answer shutdown_request"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.outcome) + (c.singleUser ? ", single-user" : ""));
    SetUpCheckingMachine();
    if (c.singleUser) MakeSingleUser();
    SetStandInOutcome(c.outcome);

    const LauncherRun run = RunLauncher(L"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    Lines expected = {CheckingLine, WaitingLine, GotSignalLine};
    if (c.launches) expected.push_back(LaunchingLine);
    EXPECT_EQ(expected, WithCallbackLineInPlace(ProgramLines(run), c.callbackLine)) << Dump(run);
    EXPECT_FALSE(HasLine(run, SingleUserLine));
    EXPECT_EQ(ExpectedStandInCalls(Host, "2.4.1", c.answer), StandInTexts());
    if (c.launches) {
      ClientRecord record;
      EXPECT_TRUE(WaitForClientRecord(L"2.4.1", record));
    } else {
      EXPECT_TRUE(NoClientStarted());
    }
  }
}

// An object of another kind holds the event's name, so the event cannot be
// created: exit code 1, nothing more logged, the framework never touched.
TEST_F(UpdateCheck, ExitCode1WhenTheFinishedEventCannotBeCreated) {
  ScopedKernelHandle squatter(CreateMutexW(nullptr, FALSE, L"WinSparkleFinished"));
  ASSERT_NE(nullptr, squatter.handle);

  const LauncherRun run = RunLauncher(L"");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(1u, run.exitCode);
  EXPECT_EQ((Lines{CheckingLine}), ProgramLines(run)) << Dump(run);
  EXPECT_FALSE(StandInRecordExists());
  EXPECT_TRUE(NoClientStarted());
}

// A descriptor that denies the user running the tests (and the launcher)
// every access to the object, as an elevated start's event is to a normal one.
std::wstring DenyThisUser() {
  std::wstring sddl;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sddl;
  BYTE buffer[256];
  DWORD size = 0;
  wchar_t* sid = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
    sddl = L"D:(D;;GA;;;" + std::wstring(sid) + L")(A;;GA;;;WD)";
    LocalFree(sid);
  }
  CloseHandle(token);
  return sddl;
}

// Another start's check still runs: its event is open (and so ours would be
// the same one), or it was made so that we may not open it. Either way this
// start checks nothing, leaves that event alone and starts the client.
TEST_F(UpdateCheck, AnotherStartsCheckStillRunningSkipsTheCheck) {
  for (bool denied : {false, true}) {
    SCOPED_TRACE(denied ? "event denied to this user" : "event open elsewhere");
    SetUpCheckingMachine();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (denied) {
      ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(DenyThisUser().c_str(), SDDL_REVISION_1,
                                                                       &descriptor, nullptr));
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    ScopedKernelHandle held(CreateEventW(&attributes, TRUE, FALSE, L"WinSparkleFinished"));
    LocalFree(descriptor);
    ASSERT_NE(nullptr, held.handle);
    if (denied) {  // Wine checks access to named objects: make sure this is the denied path
      SetLastError(ERROR_SUCCESS);
      ScopedKernelHandle probe(CreateEventW(nullptr, TRUE, FALSE, L"WinSparkleFinished"));
      ASSERT_EQ(nullptr, probe.handle);
      ASSERT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    }

    const LauncherRun run = RunLauncher(L"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ((Lines{CheckingLine, L"[tollbury] Another start's update check is still running, skipping upgrade check",
                     LaunchingLine}),
              ProgramLines(run))
        << Dump(run);
    EXPECT_FALSE(StandInRecordExists());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(held.handle, 0)) << "the other check's event";
    ClientRecord record;
    EXPECT_TRUE(WaitForClientRecord(L"2.4.1", record));
  }
}

TEST_F(UpdateCheck, ExitCode2OnlyWhenTheMissingSessionReachesTheCheck) {
  struct Case {
    const wchar_t* arguments;
    DWORD exitCode;
    Lines lines;
  };
  const wchar_t* const missing = L"[tollbury] Registry is missing info for session 'vrd'.";
  const Case cases[] = {
      {L"", 2u, {missing, CheckingLine, L"[tollbury] Exiting because 'vrd' session does not exist in the registry."}},
      {L"-no_upgrade", 0u, {missing, LaunchingLine}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.arguments));
    SetUpCheckingMachine();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, SessionKey(L"vrd").c_str());

    const LauncherRun run = RunLauncher(c.arguments);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(c.exitCode, run.exitCode);
    EXPECT_EQ(c.lines, ProgramLines(run)) << Dump(run);
    EXPECT_FALSE(StandInRecordExists());
    if (c.exitCode == 0) {
      ClientRecord record;
      EXPECT_TRUE(WaitForClientRecord(L"2.4.1", record));
    } else {
      EXPECT_TRUE(NoClientStarted());
    }
  }
}

TEST_F(UpdateCheck, HostNameFormsTheFeedUrlOrTheCheckIsSkipped) {
  const std::wstring hundred(100, L'h');
  const std::wstring twoByteChars50(50, L'\u00e9');  // 100 bytes in UTF-8
  const wchar_t* const noHostName = L"[tollbury] No HostName for session 'vrd', skipping upgrade check";
  const wchar_t* const tooLong =
      L"[tollbury] HostName of session 'vrd' is longer than 100 bytes in UTF-8, skipping upgrade check";
  struct Case {
    const char* what;
    bool present;
    DWORD type;
    std::wstring value;
    const wchar_t* skipLine;  // null: the check runs with the value as host
  };
  const Case cases[] = {
      {"100 bytes", true, REG_SZ, hundred, nullptr},
      {"100 bytes of two-byte characters", true, REG_SZ, twoByteChars50, nullptr},
      {"101 bytes", true, REG_SZ, hundred + L"h", tooLong},
      {"102 bytes of two-byte characters", true, REG_SZ, twoByteChars50 + L"\u00e9", tooLong},
      {"4000 characters", true, REG_SZ, std::wstring(4000, L'x'), tooLong},
      {"missing", false, REG_SZ, L"", noHostName},
      {"empty", true, REG_SZ, L"", noHostName},
      {"not a string", true, REG_DWORD, L"", noHostName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUpCheckingMachine();
    DeleteRegValue(SessionKey(L"vrd"), L"HostName");
    if (c.present && c.type == REG_SZ) SetRegString(SessionKey(L"vrd"), L"HostName", c.value);
    if (c.present && c.type == REG_DWORD) SetRegDword(SessionKey(L"vrd"), L"HostName", 7);

    const LauncherRun run = RunLauncher(L"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    if (c.skipLine == nullptr) {
      EXPECT_EQ(ExpectedStandInCalls(WideToUtf8(c.value), "2.4.1", {"answer did_not_find_update"}), StandInTexts());
    } else {
      EXPECT_EQ((Lines{CheckingLine, c.skipLine, LaunchingLine}), ProgramLines(run)) << Dump(run);
      EXPECT_FALSE(StandInRecordExists());
    }
    ClientRecord record;
    EXPECT_TRUE(WaitForClientRecord(L"2.4.1", record));
  }
}

TEST_F(UpdateCheck, UnusableFrameworkDllSkipsTheCheckAndStartsTheClient) {
  struct Case {
    const char* what;
    const wchar_t* copyFrom;  // into the install folder as WinSparkle.dll
    std::string bytes;        // written instead when copyFrom is null
    bool present;
    const wchar_t* line;
  };
  const Case cases[] = {
      {"absent", nullptr, "", false,
       L"[tollbury] Cannot load WinSparkle.dll from the program's directory (error 126), skipping upgrade check"},
      {"lacking one export", L"WinSparkleNoCleanup.dll", "", true,
       L"[tollbury] WinSparkle.dll lacks win_sparkle_cleanup, skipping upgrade check"},
      {"not a DLL", nullptr, "MZ but nothing more", true,
       L"[tollbury] Cannot load WinSparkle.dll from the program's directory (error 193), skipping upgrade check"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUpCheckingMachine();
    const std::wstring target = InstallDir() + L"WinSparkle.dll";
    DeleteFileW(target.c_str());
    if (c.copyFrom != nullptr) {
      ASSERT_TRUE(CopyFileW((BinDir() + c.copyFrom).c_str(), target.c_str(), FALSE));
    } else if (c.present) {
      ASSERT_TRUE(WriteFileBytes(target, c.bytes));
    }

    const LauncherRun run = RunLauncher(L"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ((Lines{CheckingLine, c.line, LaunchingLine}), ProgramLines(run)) << Dump(run);
    EXPECT_FALSE(StandInRecordExists());
    ClientRecord record;
    EXPECT_TRUE(WaitForClientRecord(L"2.4.1", record));
  }
}

// A key-carrying build: the thirteenth call and the verified download started by the launcher itself, with no
// argument of the feed's; no check at all with a framework that lacks the setter.
TEST_F(UpdateCheck, KeyCarryingBuildStartsTheVerifiedDownloadItself) {
  const std::wstring download = ClientRoot() + L"0 download\\Update Setup.EXE";
  struct Case {
    const wchar_t* framework;
    std::vector<std::string> answer;
    std::wstring line;
  };
  const Case cases[] = {
      {L"WinSparkle.dll",
       {"asked can_shutdown: 1", "run_installer(\"" + WideToUtf8(download) + "\") returned 1",
        "answer shutdown_request"},
       L"[tollbury] Starting the downloaded update: \"" + download + L"\""},
      {L"WinSparkleNoRunInstaller.dll",
       {},
       L"[tollbury] WinSparkle.dll lacks win_sparkle_set_user_run_installer_callback, which a build with an update "
       L"key needs, skipping upgrade check"},
  };
  for (const Case& c : cases) {
    SetUpCheckingMachine();
    CreateDirectoryW((ClientRoot() + L"0 download").c_str(), nullptr);
    const std::pair<std::wstring, std::wstring> copies[] = {{L"tollbury_keyed.exe", InstallDir() + L"tollbury.exe"},
                                                            {c.framework, InstallDir() + L"WinSparkle.dll"},
                                                            {L"rudavuvav.exe", download}};
    for (const auto& [from, to] : copies) ASSERT_TRUE(CopyFileW((BinDir() + from).c_str(), to.c_str(), FALSE));
    SetRegString(WinSparkleKey, L"StandInDownload", download);
    SetStandInOutcome(L"shutdown");
    const bool installs = !c.answer.empty();
    const LauncherRun run = RunLauncher(L"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    const Lines lines = WithCallbackLineInPlace(ProgramLines(run), L"[tollbury] ShutdownCallback(), signaled event");
    Lines expected = {CheckingLine, c.line, LaunchingLine};
    if (installs) expected = {CheckingLine, WaitingLine, GotSignalLine};
    EXPECT_EQ(expected, installs ? WithCallbackLineInPlace(lines, c.line) : ProgramLines(run)) << Dump(run);
    std::vector<std::string> calls = installs ? ExpectedStandInCalls(Host, "2.4.1", c.answer) : c.answer;
    if (installs) calls.insert(calls.begin() + 9, "win_sparkle_set_user_run_installer_callback(set)");
    EXPECT_EQ(calls, StandInTexts());
    ClientRecord record;
    EXPECT_EQ(!installs, WaitForClientRecord(L"2.4.1", record, installs ? 500 : 10000));
    EXPECT_EQ(installs, WaitForClientRecord(L"0 download", record, installs ? 10000 : 500) && record.args.empty());
  }
  // Each exe holds exactly its configured key, or no such resource.
  const std::pair<const wchar_t*, std::string> keys[] = {{L"tollbury.exe", CONFIGURED_UPDATE_KEY},
                                                         {L"tollbury_keyed.exe", TEST_UPDATE_KEY}};
  for (const auto& [exe, key] : keys) {
    HMODULE image = LoadLibraryExW((BinDir() + exe).c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    HRSRC found = image != nullptr ? FindResourceW(image, L"EdDSAPub", L"EDDSA") : nullptr;
    const char* held = found != nullptr ? static_cast<const char*>(LockResource(LoadResource(image, found))) : "";
    EXPECT_EQ(key, std::string(held, found != nullptr ? SizeofResource(image, found) : 0)) << WideToUtf8(exe);
    if (image != nullptr) FreeLibrary(image);
  }
}

// The DLL is looked for in the program's folder only, not in the working
// directory the launcher is started in.
TEST_F(UpdateCheck, DownloadedInstallerAskingForElevationGoesThroughTheShell) {
  GTEST_SKIP() << "CreateProcessW fails with ERROR_ELEVATION_REQUIRED only for an administrator whose token is "
                  "filtered and an installer whose manifest asks for full rights; under Wine every user is an "
                  "elevated administrator";
}

TEST_F(UpdateCheck, FrameworkDllOutsideTheProgramFolderIsNotLoaded) {
  DeleteFileW((InstallDir() + L"WinSparkle.dll").c_str());
  const std::wstring elsewhere = InstallDir() + L"cwd\\";
  CreateDirectoryW(elsewhere.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW((BinDir() + L"WinSparkle.dll").c_str(), (elsewhere + L"WinSparkle.dll").c_str(), FALSE));
  ASSERT_TRUE(SetCurrentDirectoryW(elsewhere.c_str()));

  const LauncherRun run = RunLauncher(L"");
  SetCurrentDirectoryW(BinDir().c_str());
  ASSERT_TRUE(run.finished);
  EXPECT_TRUE(HasLine(run,
                      L"[tollbury] Cannot load WinSparkle.dll from the program's directory (error 126), "
                      L"skipping upgrade check"))
      << Dump(run);
  EXPECT_FALSE(FileExists(elsewhere + L"WinSparkleCalls.txt"));
}

// A framework that never answers keeps the launcher waiting; the event is
// shared by name within the session, so a signal from elsewhere ends the
// wait as a callback would.
TEST_F(UpdateCheck, SilentFrameworkKeepsTheLauncherWaitingUntilTheEventIsSignalled) {
  SetStandInOutcome(L"silent");
  PendingLauncher pending = StartLauncher(L"");
  ASSERT_NE(nullptr, pending.process);
  const bool answered = WaitForStandInEvent("answer none", 20000);
  Sleep(1000);
  const bool stillWaiting = WaitForSingleObject(pending.process, 0) == WAIT_TIMEOUT;
  const bool noClient = NoClientStarted();

  ScopedKernelHandle finished(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"WinSparkleFinished"));
  if (finished.handle != nullptr) SetEvent(finished.handle);
  const LauncherRun run = FinishLauncher(pending, 20000);

  ASSERT_TRUE(answered);
  EXPECT_TRUE(stillWaiting);
  EXPECT_TRUE(noClient);
  ASSERT_NE(nullptr, finished.handle);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_EQ((Lines{CheckingLine, WaitingLine, GotSignalLine, LaunchingLine}), ProgramLines(run)) << Dump(run);
  EXPECT_EQ(ExpectedStandInCalls(Host, "2.4.1", {"answer none"}), StandInTexts());
  ClientRecord record;
  EXPECT_TRUE(WaitForClientRecord(L"2.4.1", record));
}

// A silent framework is given up (60 s, or 10 s after its window): on as after an error, event 7, no cleanup call.
TEST(UpdateWait, SilentFrameworkIsGivenUpAndTheClientStarts) {
  const struct {
    const wchar_t* outcome;
    std::vector<std::string> answer;
    ULONGLONG earliestMs, latestMs;
  } cases[] = {{L"silent", {"answer none"}, 60000, 90000},
               {L"window-then-silent", {"window shown", "window closed", "answer none"}, 15000, 45000}};
  const wchar_t* const noAnswer = L"[tollbury] No answer from the update check, starting the client without it";
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.outcome));
    SetUpCheckingMachine();
    SetStandInOutcome(c.outcome);
    SetRegDword(WinSparkleKey, L"StandInWindowMs", 5000);
    SetRegDword(TollburyPolicyKeyPath, L"ReportToEventLog", 1);
    const ULONGLONG started = GetTickCount64();
    const LauncherRun run = RunLauncher(L"", 180000, L"-all,+eventlog,fixme+advapi");
    const ULONGLONG tookMs = GetTickCount64() - started;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, TollburyPolicyKeyPath);
    ASSERT_TRUE(run.finished && run.exitCode == 0) << run.exitCode;
    EXPECT_EQ((Lines{CheckingLine, WaitingLine, noAnswer, LaunchingLine}), ProgramLines(run)) << Dump(run);
    EXPECT_TRUE(tookMs >= c.earliestMs && tookMs <= c.latestMs) << tookMs;  // the bound, and room for a busy machine
    std::vector<std::string> calls = ExpectedStandInCalls(Host, "2.4.1", c.answer);
    calls.pop_back();  // no win_sparkle_cleanup()
    EXPECT_EQ(calls, StandInTexts());
    EXPECT_EQ(std::vector<std::string>{"2 7 " + WideToUtf8(noAnswer + 11)}, ReportedEvents(run.wineTrace));
    ClientRecord record;
    EXPECT_TRUE(WaitForClientRecord(L"2.4.1", record));
  }
}

}  // namespace
