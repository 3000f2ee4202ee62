#include "launcher/argument_quoting.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "wide_text.h"

namespace {

std::string Narrow(const WideText& text) { return std::string(text.begin(), text.end()); }

TEST(AppendQuotedArgumentTest, QuotesOnlyWhatNeedsIt) {
  struct Case {
    const char16_t* argument;
    const char16_t* written;
  } cases[] = {
      {u"plain", u"plain "},
      {u"C:\\dir\\", u"C:\\dir\\ "},
      {u"", u"\"\" "},
      {u"with blanks", u"\"with blanks\" "},
      {u"tab\there", u"\"tab\there\" "},
      {u"say \"hi\"", u"\"say \\\"hi\\\"\" "},
      {u"C:\\dir with space\\", u"\"C:\\dir with space\\\\\" "},
      {u"x\\\\\"y", u"\"x\\\\\\\\\\\"y\" "},
      {u"\u00e9t\u00e9", u"\u00e9t\u00e9 "},
  };
  for (const Case& c : cases) {
    WideChar text[64] = {0};
    int length = 0;
    EXPECT_TRUE(AppendQuotedArgument(text, 64, length, W(c.argument).c_str()));
    EXPECT_EQ(W(c.written), WideText(text)) << Narrow(W(c.argument));
    EXPECT_EQ(static_cast<int>(W(c.written).size()), length);
  }
}

TEST(AppendQuotedArgumentTest, RefusesWhatDoesNotFitAndKeepsText) {
  WideChar text[8] = {'a', 'b', ' ', 0};
  int length = 3;
  EXPECT_TRUE(AppendQuotedArgument(text, 8, length, W(u"cd").c_str()));
  EXPECT_EQ(W(u"ab cd "), WideText(text));
  EXPECT_FALSE(AppendQuotedArgument(text, 8, length, W(u"e").c_str()));  // "e " needs 2 + terminator
  EXPECT_EQ(W(u"ab cd "), WideText(text));
  EXPECT_EQ(6, length);
  EXPECT_FALSE(AppendQuotedArgument(text, 8, length, W(u"").c_str()));
  EXPECT_EQ(W(u"ab cd "), WideText(text));
  // A length that leaves no room is refused without a write.
  int full = 8;
  EXPECT_FALSE(AppendQuotedArgument(text, 8, full, W(u"").c_str()));
}

TEST(WholeArgumentsLengthTest, EndsAfterTheLastWholeArgumentThatFits) {
  // Quoted blanks, an escaped quote and a doubled closing backslash end nothing.
  const WideText text = W(u"a \"b c\" \"d\\\"e\" \"x\\ y\\\\\" ");
  const int ends[] = {0, 2, 8, 15, 24};
  for (int limit = 0; limit < 27; ++limit) {
    EXPECT_EQ(*(std::upper_bound(ends, ends + 5, limit) - 1), WholeArgumentsLength(text.c_str(), limit)) << limit;
  }
}

}  // namespace
