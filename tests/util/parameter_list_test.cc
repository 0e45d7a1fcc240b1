#include "util/parameter_list.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

struct LookupCase {
  std::string list;
  std::string name;
  bool found;
  std::string value;
};

void ExpectLookups(const std::vector<LookupCase>& cases) {
  for (const LookupCase& c : cases) {
    std::string value = "stale";
    EXPECT_EQ(FindParameter(c.list, c.name, &value), c.found) << c.list << " / " << c.name;
    EXPECT_EQ(value, c.value) << c.list << " / " << c.name;
    EXPECT_EQ(GetParameterText(c.list, c.name), c.value) << c.list << " / " << c.name;
  }
}

TEST(CParameterListTest, FindsNamesAndFirstMatchWins) {
  ExpectLookups({
      {"line=2 find=Now trim=1", "find", true, "Now"},
      {"line=2 find=Now trim=1", "trim", true, "1"},
      {"line=1 line=2", "line", true, "1"},
      {"LINE=3", "line", true, "3"},
      {"line=3", "LINE", true, "3"},
      {"run -i ini_file=/etc/q.ini", "-i", true, ""},
      {"run -i ini_file=/etc/q.ini", "ini_file", true, "/etc/q.ini"},
      {"run", "ru", false, ""},
      {"lines=4", "line", false, ""},
      {"", "line", false, ""},
      {"   ", "line", false, ""},
      {"a=1  b=2", "b", true, "2"},  // two blanks between tokens
      {"  a=1", "a", true, "1"},     // leading blanks
      {"a=1\tb=2", "b", false, ""},  // a tab does not separate tokens
      {"set=a&b=c", "set", true, "a&b=c"},
      {"k=x=y", "k", true, "x=y"},
      {"\xC4=1", "\xE4", false, ""},  // only ASCII letters ignore case
  });
}

TEST(CParameterListTest, QuotesJoinBlanksAndEnclosingPairIsRemoved) {
  ExpectLookups({
      {"find=\"Now playing\" line=1", "find", true, "Now playing"},
      {"find=\"Now playing\" line=1", "line", true, "1"},
      {"find=Now\" \"playing x=1", "find", true, "Now\" \"playing"},
      {"find=\"Now\" \"playing\" x=1", "find", true, "Now"},  // blank between quoted stretches
      {"q=\"", "q", true, ""},
      {"q=\"\"", "q", true, ""},
      {"q=\"a\"b", "q", true, "\"a\"b"},
      {"\"a b\"=1", "\"a b\"", true, "1"},
      {"x=\"open never closed y=2", "y", false, ""},  // the open quote swallows the rest
  });
}

TEST(CParameterListTest, NamesEveryTokenInOrder) {
  EXPECT_EQ(ParameterNames("find=Title: begin=\": \" trim=1  TRIM bogus=\"a b\""),
            (std::vector<std::string>{"find", "begin", "trim", "TRIM", "bogus"}));
  EXPECT_EQ(ParameterNames("   "), std::vector<std::string>{});
  EXPECT_EQ(ParameterNames(""), std::vector<std::string>{});
}

TEST(CParameterListTest, LongTokensAreCutBeforeReading) {
  const std::string longValue(2000, 'v');
  std::string value;
  ASSERT_TRUE(FindParameter("k=" + longValue + " next=1", "k", &value));
  EXPECT_EQ(value, std::string(kMaxParameterTokenBytes - 2, 'v'));
  EXPECT_EQ(GetParameterText("k=" + longValue + " next=1", "next"), "1");

  // The "=" lies beyond the cut, so the whole kept text is the name.
  const std::string longName(1500, 'n');
  EXPECT_FALSE(FindParameter(longName + "=1", longName));
  EXPECT_TRUE(FindParameter(longName + "=1", longName.substr(0, kMaxParameterTokenBytes)));
  // The closing quote is cut away, so the opening one stays in the value.
  ASSERT_TRUE(FindParameter("q=\"" + longValue + "\"", "q", &value));
  EXPECT_EQ(value.size(), kMaxParameterTokenBytes - 2);
  EXPECT_EQ(value.front(), '"');
}

TEST(CParameterListTest, IntegerValuesFollowDecimalRules) {
  struct Case {
    std::string list;
    int expected;
  } cases[] = {
      {"trim", 7},
      {"trim=", 7},
      {"x=1", 7},
      {"trim=1", 1},
      {"trim=-2", -2},
      {"trim=+5", 5},
      {"trim=yes", 0},
      {"trim=12abc", 12},
      {"trim=\" 42\"", 42},
      {"trim=\"\"", 7},
      {"trim=007", 7},
      {"trim=-", 0},
      {"trim=2147483647", INT_MAX},
      {"trim=-2147483648", INT_MIN},
      {"trim=99999999999999999999", INT_MAX},
      {"trim=-99999999999999999999", INT_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(GetParameterInt(c.list, "trim", 7), c.expected) << c.list;
}

}  // namespace
