#include "launcher/version_rank.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wide_text.h"

namespace {

TEST(RankVersionNameTest, RankingTable) {
  struct Case {
    const char16_t* name;
    double a, b, c;
  } cases[] = {
      {u"3", 3, 0, 0},
      {u"2.5", 2, 0, 5},
      {u"1.2.3", 1, 2, 3},
      {u"1.2.3.4", 1, 2, 3},
      {u"1.10.0", 1, 10, 0},
      {u"x2.1.0", 0, 1, 0},
      {u"beta", 0, 0, 0},
      {u"1e1.0.0", 10, 0, 0},
      {u"2a.1", 2, 0, 1},
      {u"", 0, 0, 0},
      {u"1..2", 1, 0, 2},
      {u"0x10.1", 16, 0, 1},
      {u" 4.1.2", 4, 1, 2},
      {u"-1.2.3", -1, 2, 3},
      {u"1.2.", 1, 2, 0},
      {u"0x1p3", 8, 0, 0},
      {u"2\u00e9.7\u0663.3", 2, 7, 3},
      {u"\u0661.1", 0, 0, 1},
      {u"\xd800"
       u"4.5",
       0, 0, 5},
  };
  for (const Case& c : cases) {
    const VersionKey key = RankVersionName(W(c.name).c_str());
    EXPECT_EQ(c.a, key.part[0]) << W(c.name).size();
    EXPECT_EQ(c.b, key.part[1]);
    EXPECT_EQ(c.c, key.part[2]);
  }
  EXPECT_TRUE(std::isnan(RankVersionName(W(u"nan.1.1").c_str()).part[0]));
  EXPECT_TRUE(std::isinf(RankVersionName(W(u"inf").c_str()).part[0]));
  // Only the first 259 characters of a name are read.
  const WideText longName = W(u"7.") + WideText(257, WideChar('1')) + W(u".9");
  const VersionKey longKey = RankVersionName(longName.c_str());
  EXPECT_EQ(7, longKey.part[0]);
  EXPECT_EQ(0, longKey.part[1]);
  EXPECT_GT(longKey.part[2], 1e256);
}

// Replays the ranking over names in enumeration order, as the scan does.
std::u16string Newest(const std::vector<std::u16string>& names) {
  std::u16string newest = u"1.0.0";
  VersionKey newestKey = {{0, 0, 0}};
  for (const std::u16string& name : names) {
    const VersionKey key = RankVersionName(W(name.c_str()).c_str());
    if (IsNewerVersion(key, newestKey)) {
      newest = name;
      newestKey = key;
    }
  }
  return newest;
}

TEST(IsNewerVersionTest, Ordering) {
  struct Case {
    std::vector<std::u16string> names;
    const char16_t* newest;
  } cases[] = {
      {{u"2.0.4", u"2.5", u"2.1.0"}, u"2.1.0"},
      {{u"2.0.4", u"2.5"}, u"2.5"},
      {{u"3.0", u"3", u"3.0.0"}, u"3.0"},
      {{u"3.0.0", u"3.0", u"3"}, u"3.0.0"},
      {{u"1.9.0", u"1.10.0"}, u"1.10.0"},
      {{u"1.2.3", u"1.2.3.4"}, u"1.2.3"},
      {{u"0.9"}, u"0.9"},
      {{u"x2.1.0"}, u"x2.1.0"},
      {{u"x2.0.0", u"beta", u"0"}, u"1.0.0"},
      {{u"nan.5.5", u"nan"}, u"1.0.0"},
      {{u"1.nan", u"1.0.5"}, u"1.nan"},
      {{u"1.0.5", u"1.nan"}, u"1.0.5"},
      {{u"inf", u"99.9.9"}, u"inf"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.newest, Newest(c.names)) << c.names.size();
}

}  // namespace
