#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "launcher/versions.h"

namespace {

TEST(RankVersionNameTest, RankingTable) {
  struct Case {
    const wchar_t* name;
    double a, b, c;
  } cases[] = {
      {L"3", 3, 0, 0},          {L"2.5", 2, 0, 5},        {L"1.2.3", 1, 2, 3},    {L"1.2.3.4", 1, 2, 3},
      {L"1.10.0", 1, 10, 0},    {L"x2.1.0", 0, 1, 0},     {L"beta", 0, 0, 0},     {L"1e1.0.0", 10, 0, 0},
      {L"2a.1", 2, 0, 1},       {L"", 0, 0, 0},           {L"1..2", 1, 0, 2},     {L"0x10.1", 16, 0, 1},
      {L" 4.1.2", 4, 1, 2},     {L"-1.2.3", -1, 2, 3},    {L"1.2.", 1, 2, 0},
  };
  for (const Case& c : cases) {
    const VersionKey key = RankVersionName(c.name);
    EXPECT_EQ(c.a, key.part[0]) << std::wstring(c.name).size();
    EXPECT_EQ(c.b, key.part[1]);
    EXPECT_EQ(c.c, key.part[2]);
  }
  EXPECT_TRUE(std::isnan(RankVersionName(L"nan.1.1").part[0]));
  EXPECT_TRUE(std::isinf(RankVersionName(L"inf").part[0]));
}

// Replays the ranking over names in enumeration order, as the scan does.
std::wstring Newest(const std::vector<std::wstring>& names) {
  std::wstring newest = L"1.0.0";
  VersionKey newestKey = {{0, 0, 0}};
  for (const std::wstring& name : names) {
    const VersionKey key = RankVersionName(name.c_str());
    if (IsNewerVersion(key, newestKey)) {
      newest = name;
      newestKey = key;
    }
  }
  return newest;
}

TEST(IsNewerVersionTest, Ordering) {
  struct Case {
    std::vector<std::wstring> names;
    const wchar_t* newest;
  } cases[] = {
      {{L"2.0.4", L"2.5", L"2.1.0"}, L"2.1.0"},
      {{L"2.0.4", L"2.5"}, L"2.5"},
      {{L"3.0", L"3", L"3.0.0"}, L"3.0"},
      {{L"3.0.0", L"3.0", L"3"}, L"3.0.0"},
      {{L"1.9.0", L"1.10.0"}, L"1.10.0"},
      {{L"1.2.3", L"1.2.3.4"}, L"1.2.3"},
      {{L"0.9"}, L"0.9"},
      {{L"x2.1.0"}, L"x2.1.0"},
      {{L"x2.0.0", L"beta", L"0"}, L"1.0.0"},
      {{L"nan.5.5", L"nan"}, L"1.0.0"},
      {{L"1.nan", L"1.0.5"}, L"1.nan"},
      {{L"1.0.5", L"1.nan"}, L"1.0.5"},
      {{L"inf", L"99.9.9"}, L"inf"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.newest, Newest(c.names)) << c.names.size();
}

}  // namespace
