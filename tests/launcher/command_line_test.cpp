#include "launcher/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/argv_model.h"
#include "launcher/argument_quoting.h"

namespace {

struct Parsed {
  std::wstring sessionName;
  std::wstring passThrough;
  bool noUpgrade;
  bool updateCheck;
};

Parsed Parse(std::vector<std::wstring> args) {
  args.insert(args.begin(), L"tollbury.exe");
  std::vector<wchar_t*> argv;
  for (std::wstring& a : args) argv.push_back(&a[0]);
  wchar_t sessionName[SessionNameSize] = L"vrd";
  static wchar_t passThrough[PassThroughSize];
  bool noUpgrade = false;
  bool updateCheck = true;
  ParseArguments(static_cast<int>(argv.size()), argv.data(), sessionName, passThrough, PassThroughSize, noUpgrade,
                 updateCheck);
  return {sessionName, passThrough, noUpgrade, updateCheck};
}

// What the client's own splitting makes of the handed-on text.
std::vector<std::wstring> SplitAsClient(const std::wstring& passThrough) {
  const std::wstring line = L"rudavuvav.exe " + passThrough;
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(line.c_str(), &argc);
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  LocalFree(argv);
  return args;
}

TEST(ParseArgumentsTest, OptionsAndSessionName) {
  struct Case {
    std::vector<std::wstring> args;
    const wchar_t* sessionName;
    const wchar_t* passThrough;
    bool noUpgrade;
  } cases[] = {
      {{}, L"vrd", L"", false},
      {{L"-load", L"east", L"-v"}, L"east", L"-load east -v ", false},
      {{L"-no_upgrade"}, L"vrd", L"", true},
      {{L"/no_upgrade", L"x"}, L"vrd", L"x ", true},
      {{L"-no_upgrade", L"-no_upgrade"}, L"vrd", L"", true},
      {{L"-No_Upgrade", L"--no_upgrade", L"-no_upgrade "},
       L"vrd",
       L"-No_Upgrade --no_upgrade \"-no_upgrade \" ",
       false},
      {{L"-load", L"-no_upgrade"}, L"-no_upgrade", L"-load ", true},
      {{L"-load", L"a", L"-load", L"b"}, L"b", L"-load a -load b ", false},
      {{L"x", L"-load"}, L"vrd", L"x -load ", false},
      {{L"-LOAD", L"east"}, L"vrd", L"-LOAD east ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "passThrough " << std::wstring(c.passThrough).c_str());
    const Parsed p = Parse(c.args);
    EXPECT_EQ(c.sessionName, p.sessionName);
    EXPECT_EQ(c.passThrough, p.passThrough);
    EXPECT_EQ(c.noUpgrade, p.noUpgrade);
    EXPECT_EQ(!c.noUpgrade, p.updateCheck);
  }
}

TEST(ParseArgumentsTest, SessionNameLimit) {
  const std::wstring longest(MaxSessionNameLength, L's');
  EXPECT_EQ(longest, Parse({L"-load", longest}).sessionName);
  for (size_t length : {static_cast<size_t>(MaxSessionNameLength) + 1, size_t{256}, size_t{300}}) {
    const std::wstring name(length, L's');
    const Parsed p = Parse({L"-load", name});
    EXPECT_EQ(L"vrd", p.sessionName) << length;
    EXPECT_EQ(L"-load " + name + L" ", p.passThrough) << "still handed on";
  }
  // A refused name leaves an earlier accepted one in place.
  EXPECT_EQ(L"east", Parse({L"-load", L"east", L"-load", std::wstring(400, L'x')}).sessionName);
}

TEST(ParseArgumentsTest, ClientSplitsArgumentsBackUnchanged) {
  const std::vector<std::vector<std::wstring>> cases = {
      {L"plain", L"with blanks", L"tab\there"},
      {L"say \"hi\"", L"\"", L"\"\""},
      {L"C:\\dir\\", L"C:\\dir with space\\", L"a\\\\b", L"\\\"", L"x\\\\\"y"},
      {L"", L"a", L"", L""},
      {L"\u00e9t\u00e9", L"\u65e5\u672c"},
      {L"-load", L"s p a c e"},
  };
  for (const auto& args : cases) {
    const Parsed p = Parse(args);
    EXPECT_EQ(args, SplitAsClient(p.passThrough)) << std::string(p.passThrough.begin(), p.passThrough.end());
  }
}

TEST(ParseArgumentsTest, LongCommandLines) {
  // 30,000 characters in a few arguments fit and come back whole.
  std::vector<std::wstring> args = {std::wstring(10000, L'a'), std::wstring(10000, L'b') + L" ",
                                    std::wstring(9990, L'c')};
  Parsed p = Parse(args);
  EXPECT_EQ(args, SplitAsClient(p.passThrough));

  // Arguments that no longer fit are dropped from there on, never cut.
  args = {std::wstring(20000, L'a'), std::wstring(20000, L'b'), L"c"};
  p = Parse(args);
  EXPECT_EQ(std::vector<std::wstring>{args[0]}, SplitAsClient(p.passThrough));
  EXPECT_LT(p.passThrough.size(), static_cast<size_t>(PassThroughSize));
}

// The CommandLineToArgvW model of the quoting fuzz target reads lines as the
// real function does: hand-written lines for each rule, and the lines that
// quoting pseudo-random arguments gives.
TEST(ArgvModelTest, AgreesWithCommandLineToArgvW) {
  std::vector<std::wstring> lines = {
      L"prog a b",
      L"\"C:\\p q\\x.exe\" a",
      L"\"C:\\p\"x a",
      L" a b",
      L"prog  a\t\tb  ",
      L"prog \"a b\" c",
      L"prog a\\\\b \\\\\\\"x",
      L"prog \"a\\\\\" b",
      L"prog \"a\\\"b\"",
      L"prog a\"b c\"d",
      L"prog \"a\"\"b\" c",
      L"prog \"\"\"\" x \"\"\"",
      L"prog \"unfinished",
      L"prog \"\" \"\"",
      L"prog a\\",
      L"prog \\\"\"\" y",
  };
  unsigned seed = 12345;
  auto next = [&seed](unsigned n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  const wchar_t alphabet[] = L"a \t\"\\\u00e9";
  for (int round = 0; round < 300; ++round) {
    static wchar_t text[512];
    text[0] = L'\0';
    int length = 0;
    for (unsigned count = next(4); count > 0; --count) {
      std::wstring argument;
      for (unsigned n = next(7); argument.size() < n;) argument += alphabet[next(6)];
      ASSERT_TRUE(AppendQuotedArgument(text, 512, length, argument.c_str()));
    }
    lines.push_back(L"\"C:\\x y\\rudavuvav.exe\" " + std::wstring(text));
  }
  for (const std::wstring& line : lines) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(line.c_str(), &argc);
    ASSERT_NE(nullptr, argv);
    const std::vector<std::wstring> real(argv, argv + argc);
    LocalFree(argv);
    EXPECT_EQ(real, argv_model::Split(line)) << std::string(line.begin(), line.end());
  }
}

}  // namespace
