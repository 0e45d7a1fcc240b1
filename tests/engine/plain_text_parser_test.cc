#include "engine/plain_text_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/task.h"

namespace {

const std::vector<std::string> kSongLines = {"Title: Blue Sky  ", "Artist: The Example Band",
                                             "Album: Demo"};

// Evaluates one keyword through a task's recomputation and returns its value.
std::string Evaluate(const std::string& options, const std::vector<std::string>& lines,
                     const std::vector<SearchReplaceItem>& replaceList = BuiltInReplaceItems()) {
  CTask task;
  task.keywords.emplace_back();
  task.keywords.back().DefineKeyword("text0", options);
  task.valueReplaceList = replaceList;
  task.Recompute(lines);
  return task.keywords.back().Value();
}

TEST(CPlainTextParserTest, WorkedExampleComposesBothFormats) {
  CTask task;
  const char* options[] = {"find=Artist begin=\": \"", "begin=\": \" trim=1", "line=-1",
                           "find=Artist line=1 begin=\": \" uppercase=1", "find=Composer"};
  for (int i = 0; i < 5; ++i) {
    task.keywords.emplace_back();
    task.keywords.back().DefineKeyword("text" + std::to_string(i), options[i]);
  }
  task.valueReplaceList = BuiltInReplaceItems();
  task.formatItems.push_back({"format0", "%text1% by %text0%", ""});
  task.formatItems.push_back({"format1", "%text4%%text3%", ""});
  task.formatItems.push_back({"format2", "%text2%", ""});

  task.Recompute(kSongLines);

  EXPECT_EQ(task.formatItems[0].strResult, "Blue Sky by The Example Band");
  EXPECT_EQ(task.formatItems[1].strResult, "DEMO");
  EXPECT_EQ(task.formatItems[2].strResult,
            "Title: Blue Sky  [CR]Artist: The Example Band[CR]Album: Demo");
}

struct SelectionCase {
  const char* options;
  const char* expected;
};

TEST(CPlainTextParserTest, LineSelectionFindAndCuts) {
  const SelectionCase cases[] = {
      {"", "Title: Blue Sky  "},
      {"line=2", "Album: Demo"},
      {"line=3", ""},  // past the last line
      {"line=99999999", ""},
      {"find=Album", "Album: Demo"},
      {"find=Artist line=2", ""},  // found line plus offset past the end
      {"find=artist", ""},         // find is case-sensitive
      {"find=Composer", ""},
      {"find=X line=-3", "Title: Blue Sky  [CR]Artist: The Example Band[CR]Album: Demo"},
      {"find=Artist line=2147483647", ""},  // no overflow into a valid index
      {"line=1 begin=\"The \"", "Example Band"},
      {"line=1 begin=e", " Example Band"},  // first occurrence
      {"line=1 rbegin=e", " Band"},         // last occurrence
      {"line=1 rbegin=a", "nd"},
      {"line=1 begin=Art rbegin=a", "ist: The Example Band"},  // begin wins
      {"line=1 end=a", "Artist: The Ex"},
      {"line=1 rend=a", "Artist: The Example B"},
      {"line=1 end=i rend=a", "Art"},  // end wins
      {"line=1 begin=\": \" end=\" \"", "The"},
      {"line=1 begin=\": \" end=zz", ""},  // end missing: empty, not the rest
      {"line=1 begin=zz", ""},
      {"line=1 BEGIN=\": \" End=Band", "The Example "},  // option names ignore case
      {"trim", "Title: Blue Sky  "},                     // bare flag stays off
      {"trim=1", "Title: Blue Sky"},
      {"trim=0", "Title: Blue Sky  "},
  };
  for (const SelectionCase& c : cases) {
    EXPECT_EQ(Evaluate(c.options, kSongLines), c.expected) << "options: " << c.options;
  }
}

TEST(CPlainTextParserTest, NoLinesGiveEmptyValues) {
  for (const char* options : {"", "line=-1", "line=-1 begin=x", "find=a", "line=0 trim=1"}) {
    EXPECT_EQ(Evaluate(options, {}), "") << options;
  }
}

TEST(CPlainTextParserTest, FrontCutKeepsAtMost999Bytes) {
  const std::string longLine = "key=" + std::string(2000, 'v');
  const std::string value = Evaluate("begin==", {longLine});
  EXPECT_EQ(value.size(), CPlainTextParser::kMaxFrontCutBytes);
  EXPECT_EQ(value, std::string(999, 'v'));
  EXPECT_EQ(Evaluate("rbegin=key=", {longLine}).size(), 999u);
  // The back cut works on the already shortened text: a marker beyond 999 bytes
  // is no longer there.
  EXPECT_EQ(Evaluate("begin== end=END", {longLine + "END"}), "");
  // Without a front cut nothing is shortened.
  EXPECT_EQ(Evaluate("", {longLine}).size(), longLine.size());
}

TEST(CPlainTextParserTest, FiltersApplyInFixedOrder) {
  const std::string eAcute = "\xE9";
  struct FilterCase {
    const char* options;
    std::string line;
    std::string expected;
  } cases[] = {
      {"filter_accents=1 uppercase=1", "caf" + eAcute, "CAFE"},
      {"uppercase=1", "caf" + eAcute, "CAF" + eAcute},  // upper case is ASCII only
      {"filter_accents=1", "caf" + eAcute, "cafe"},
      {"filter_quotes=1", "say \"hi\" now", "say hi now"},
      {"filter_quotes=1 trim=1", "  \"x\"  ", "x"},
      // The replace list runs after the quotes filter and before trim.
      {"filter_quotes=1 trim=1", "\"\t\"", "[TAB]"},
  };
  for (const FilterCase& c : cases) {
    EXPECT_EQ(Evaluate(c.options, {c.line}), c.expected) << c.options;
  }

  // Upper case runs before the replace list: an item for "ft." sees "FT." and
  // still matches because items ignore case.
  std::vector<SearchReplaceItem> items = BuiltInReplaceItems();
  items.push_back({"feat.", "ft."});
  EXPECT_EQ(Evaluate("uppercase=1", {"a Feat. b"}, items), "A ft. B");
  // Trim runs after the replace list: a value turned into spaces becomes empty.
  std::vector<SearchReplaceItem> toSpaces = BuiltInReplaceItems();
  toSpaces.push_back({"x", " "});
  EXPECT_EQ(Evaluate("trim=1", {"xxx"}, toSpaces), "");
}

TEST(CPlainTextParserTest, PushedLineBreaksBecomeMarkers) {
  EXPECT_EQ(Evaluate("", {"a\r\nb"}), "a[CR]b");
  EXPECT_EQ(Evaluate("", {"a\tb\rc\nd"}), "a[TAB]b[CR]c[CR]d");
}

TEST(CPlainTextParserTest, SharedValueFiltersKeepTheOrder) {
  ValueFilters filters;
  filters.bTrim = true;
  filters.bUppercase = true;
  filters.bFilterAccents = true;
  filters.bFilterQuotes = true;
  std::vector<SearchReplaceItem> items = BuiltInReplaceItems();
  items.push_back({"E", " "});
  std::string value = " \"\xE9t\xE9\" ";
  ApplyValueFilters(value, filters, items, TextCharset::kWindows1252);
  // accents -> " "ete" ", quotes -> " ete ", upper -> " ETE ", items -> "  T  ",
  // trim -> "T".
  EXPECT_EQ(value, "T");
  std::string empty;
  ApplyValueFilters(empty, filters, items, TextCharset::kWindows1252);
  EXPECT_EQ(empty, "");
}

TEST(CPlainTextParserTest, CompositionRules) {
  CTask task;
  for (int i = 0; i < 2; ++i) {
    task.keywords.emplace_back();
    task.keywords.back().DefineKeyword("text" + std::to_string(i), "line=" + std::to_string(i));
  }
  task.formatItems.push_back({"format0", "%text0%", ""});
  task.formatItems.push_back({"format1", "%text1%", ""});
  task.formatItems.push_back({"format2", "100% %text7% %Text0% %text1%", ""});

  task.Recompute({"<%text1%>", "[%text1%]"});

  // An earlier value is searched by later keywords, but a value is never
  // expanded into itself.
  EXPECT_EQ(task.formatItems[0].strResult, "<[%text1%]>");
  EXPECT_EQ(task.formatItems[1].strResult, "[%text1%]");
  // Unknown and wrongly cased tokens and lone percent signs stay as written.
  EXPECT_EQ(task.formatItems[2].strResult, "100% %text7% %Text0% [%text1%]");
  // Results are recomputed from the template, not from the last result.
  task.Recompute({"a", "b"});
  EXPECT_EQ(task.formatItems[0].strResult, "a");
  EXPECT_EQ(task.formatItems[2].strResult, "100% %text7% %Text0% b");
}

}  // namespace
