#include "util/text_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(CTextUtilTest, TrimSpacesRemovesOnlyBlanksAtBothEnds) {
  struct Case {
    std::string in, out;
    bool changed;
  } cases[] = {
      {"   ", "", true},     {"\tx ", "\tx", true}, {"  a b  ", "a b", true},
      {"a b", "a b", false}, {"", "", false},       {" \r\n", "\r\n", true},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    EXPECT_EQ(TrimSpaces(text), c.changed) << c.in;
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(CTextUtilTest, CaseConversionTouchesAsciiLettersOnlyAndStopsAtNul) {
  EXPECT_EQ(ToUpperAscii("abc-XYZ 09 \xE9"), "ABC-XYZ 09 \xE9");
  EXPECT_EQ(ToLowerAscii("ABC-xyz \xC9"), "abc-xyz \xC9");
  EXPECT_EQ(ToUpperAscii(std::string("ab\0cd", 5)), "AB");
}

TEST(CTextUtilTest, AsciiCaseCompareFoldsLettersOnlyAndKeepsEveryByte) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase("Keep-Alive", "keep-alive"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("keep-alive", "keep-alive "));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("\xC4", "\xE4"));  // unlike FindNoCase
  EXPECT_FALSE(EqualsIgnoringAsciiCase(std::string("a\0b", 3), std::string("a\0c", 3)));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(std::string("A\0B", 3), std::string("a\0b", 3)));
  EXPECT_EQ(FoldAsciiCase(std::string("AbC\0D\xC4", 6)), std::string("abc\0d\xC4", 6));
}

TEST(CTextUtilTest, FilterAccentsMapsWholeUpperHalf) {
  // Crème Brûlée Café in Windows-1252.
  EXPECT_EQ(FilterAccents("Cr\xE8me Br\xFBl\xE9"
                          "e Caf\xE9"),
            "Creme Brulee Cafe");
  const std::string expected =
      "                                 !"                                // 0x80..0xA1
      "\xA2\xA3\xA4\xA5\xA6\xA7\xA8\xA9\xAA\xAB\xAC\xAD\xAE\xAF"          // 0xA2..0xAF
      "\xB0\xB1\xB2\xB3\xB4\xB5\xB6\xB7\xB8\xB9\xBA\xBB\xBC\xBD\xBE\xBF"  // unchanged
      "AAAAAAACEEEEIIII"                                                  // 0xC0..0xCF
      "DNOOOOOXOUUUUYtS"                                                  // 0xD0..0xDF
      "aaaaaaaceeeeiiii"                                                  // 0xE0..0xEF
      "dnooooo\xF7ouuuuyTy";                                              // 0xF0..0xFF
  std::string upperHalf;
  for (int c = 0x80; c <= 0xFF; ++c) upperHalf.push_back(static_cast<char>(c));
  EXPECT_EQ(FilterAccents(upperHalf), expected);
  EXPECT_EQ(FilterAccents("a\x7Fz~"), "a z~");
  EXPECT_EQ(FilterAccents(std::string("\xE9\0\xE9", 3)), "e");
}

TEST(CTextUtilTest, ReplaceAllResumesAfterInsertedText) {
  struct Case {
    std::string text, search, replacement;
    size_t start;
    std::string expected;
    bool changed;
  } cases[] = {
      {"%a%", "%a%", "%a%x", 0, "%a%x", true},  // no endless growth
      {"aaaa", "aa", "a", 0, "aa", true},       // one pass, no rescan
      {"abcabc", "abc", "", 0, "", true},
      {"abcabc", "abc", "X", 1, "abcX", true},  // matches before start stay
      {"ABC", "abc", "x", 0, "ABC", false},     // case-sensitive
      {"abc", "", "x", 0, "abc", false},
      {"abc", "c", "x", 9, "abc", false},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(ReplaceAll(text, c.search, c.replacement, c.start), c.changed) << c.text;
    EXPECT_EQ(text, c.expected) << c.text << " / " << c.search;
  }
}

TEST(CTextUtilTest, FindNoCaseFoldsAsciiAndFourLatinCapitals) {
  EXPECT_EQ(FindNoCase("Hello World", "WORLD"), 6);
  EXPECT_EQ(FindNoCase("abcabc", "ABC", 1), 3);
  EXPECT_EQ(FindNoCase("abc", "abcd"), -1);
  EXPECT_EQ(FindNoCase("abc", "c", 3), -1);
  EXPECT_EQ(FindNoCase("abc", "", 2), 2);
  // Ä Å Ö Ü fold to ä å ö ü; É and é stay different letters.
  EXPECT_EQ(FindNoCase("x\xC4\xC5\xD6\xDC", "\xE4\xE5\xF6\xFC"), 1);
  EXPECT_EQ(FindNoCase("\xE4\xE5\xF6\xFC", "\xC4\xC5\xD6\xDC"), 0);
  EXPECT_EQ(FindNoCase("\xC9", "\xE9"), -1);
  EXPECT_EQ(FindNoCase("\xC0", "\xE0"), -1);
}

TEST(CTextUtilTest, ApplyReplaceItemRepeatsUnlessReplacementContainsSearch) {
  struct Case {
    std::string text, search, replacement, expected;
    bool changed;
  } cases[] = {
      {"a     b", "  ", " ", "a b", true},         // repeats until settled
      {"banana", "a", "aa", "baanaanaa", true},    // one pass only
      {"xAAx", "a", "A", "xAAx", true},            // contains itself ignoring case
      {"\xC4rger", "\xE4", "ae", "aerger", true},  // Ä folds to ä
      {"\xC9t\xE9", "\xE4", "ae", "\xC9t\xE9", false},
      {"aaab", "ab", "b", "b", true},  // shrinks one step per pass
      {"text", "", "x", "text", false},
      {"line\r\nend", "\r\n", "[CR]", "line[CR]end", true},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(ApplyReplaceItem(text, c.search, c.replacement), c.changed) << c.text;
    EXPECT_EQ(text, c.expected) << c.text << " / " << c.search;
  }
}

TEST(CTextUtilTest, ApplyReplaceItemStopsRunawayGrowth) {
  // "ab" -> "bba" never contains "ab" but rebuilds it with its neighbours; each
  // leading "a" doubles the run of "b"s, so 40 of them would need 2^40 bytes.
  std::string text = std::string(40, 'a') + "b";
  EXPECT_TRUE(ApplyReplaceItem(text, "ab", "bba"));
  EXPECT_LE(text.size(), 64u << 20);
  EXPECT_GT(text.size(), 41u);
  // A rule that does settle still settles completely within the limits.
  std::string small = "aaab";
  EXPECT_TRUE(ApplyReplaceItem(small, "ab", "bba"));
  EXPECT_EQ(small, "bbbbbbbbaaa");
}

TEST(CTextUtilTest, ApplyReplaceItemCollapsesLongRunsQuickly) {
  std::string text = "a" + std::string(1 << 20, ' ') + "b";
  EXPECT_TRUE(ApplyReplaceItem(text, "  ", " "));
  EXPECT_EQ(text, "a b");
}

TEST(CTextUtilTest, ApplyReplaceItemsRunsItemsInOrder) {
  const std::vector<SearchReplaceItem> items = {
      {"\r\n", "[CR]"}, {"\n", "[CR]"}, {"[cr]", "|"}, {"\t", "[TAB]"}};
  std::string text = "a\r\nb\nc\td";
  ApplyReplaceItems(text, items);
  EXPECT_EQ(text, "a|b|c[TAB]d");
}

TEST(CTextUtilTest, UrlEncodeUsesFixedUpperAndComputedLowerEscapes) {
  EXPECT_EQ(UrlEncode("Rock & Roll/u"), "Rock%20%26%20Roll%2Fu");
  EXPECT_EQ(UrlEncode("\xFC"), "%fc");
  EXPECT_EQ(UrlEncode("\xE9\x01\x1F"), "%e9%01%1f");
  EXPECT_EQ(UrlEncode(std::string("a\0b\x7F\x7E", 5)), std::string("a\0b%7f%7E", 9));
  EXPECT_EQ(UrlEncode("AZaz09!'()*-._"), "AZaz09!'()*-._");
  EXPECT_EQ(UrlEncode(" \"#$%&+,/:;<=>?@[\\]^`{|}~"),
            "%20%22%23%24%25%26%2B%2C%2F%3A%3B%3C%3D%3E%3F%40%5B%5C%5D%5E%60%7B%7C%7D%7E");
  // Every byte outside printable ASCII but NUL gets the computed form, DEL included.
  for (int byte = 1; byte < 256; ++byte) {
    if (byte >= 0x20 && byte < 0x7F) continue;
    char computed[4];
    std::snprintf(computed, sizeof computed, "%%%.2x", byte);
    EXPECT_EQ(UrlEncode(std::string(1, static_cast<char>(byte))), computed) << byte;
  }
}

TEST(CTextUtilTest, UrlDecodeDecodesEscapesAndKeepsBrokenOnes) {
  struct Case {
    std::string in;
    bool plus;
    std::string out;
  } cases[] = {
      {"a%2Bb%2", false, "a+b%2"}, {"100%", false, "100%"}, {"%e9%C9", false, "\xE9\xC9"},
      {"a+b", false, "a+b"},       {"a+b", true, "a b"},    {"%zz%4", false, "%zz%4"},
      {"abc%00def", true, "abc"},  {"%00x", false, ""},     {"", false, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(UrlDecode(c.in, c.plus), c.out) << c.in;
}

TEST(CTextUtilTest, UrlDecodeNeverWritesPastDestination) {
  const std::string source = "ab%41cd";
  struct Case {
    size_t size;
    std::string text;
  } cases[] = {{1, ""}, {2, "a"}, {4, "abA"}, {5, "abAc"}, {6, "abAcd"}, {64, "abAcd"}};
  for (const Case& c : cases) {
    std::vector<char> buffer(c.size + 4, '#');
    const size_t written = UrlDecode(source.data(), source.size(), buffer.data(), c.size, false);
    EXPECT_EQ(written, c.text.size()) << c.size;
    EXPECT_EQ(std::string(buffer.data()), c.text) << c.size;
    EXPECT_EQ(buffer[c.size], '#') << "byte after the destination changed, size " << c.size;
  }
  char untouched = '#';
  EXPECT_EQ(UrlDecode(source.data(), source.size(), &untouched, 0, false), 0u);
  EXPECT_EQ(untouched, '#');
  char empty[4] = "xyz";
  EXPECT_EQ(UrlDecode(source.data(), 0, empty, sizeof empty, false), 0u);
  EXPECT_EQ(empty[0], '\0');
}

TEST(CTextUtilTest, PrintfHelpersFormatAndBound) {
  EXPECT_EQ(StringPrintf("%s=%04i", "n", 7), "n=0007");
  EXPECT_EQ(StringPrintf("%s", std::string(5000, 'x').c_str()).size(), 5000u);

  char buffer[8];
  EXPECT_EQ(BoundedPrintf(buffer, sizeof buffer, "%s", "1234567"), 7);
  EXPECT_STREQ(buffer, "1234567");
  EXPECT_EQ(BoundedPrintf(buffer, sizeof buffer, "%s", "12345678"), -1);
  EXPECT_STREQ(buffer, "1234567");
  EXPECT_EQ(BoundedPrintf(buffer, 0, "%s", "x"), -1);
  EXPECT_EQ(BoundedPrintf(buffer, 1, "%s", "x"), -1);
  EXPECT_STREQ(buffer, "");
}

TEST(CTextUtilTest, CutAtLineEndEndsAtFirstCrOrLf) {
  struct Case {
    std::string in, out;
  } cases[] = {{"abc\r\ndef", "abc"}, {"abc\ndef\r", "abc"}, {"\rx", ""}, {"plain", "plain"}};
  for (const Case& c : cases) {
    std::string text = c.in;
    CutAtLineEnd(text.data());
    EXPECT_STREQ(text.c_str(), c.out.c_str()) << c.in;
  }
}

TEST(CTextUtilTest, SplitListHonoursQuotesTrimAndEmptyPieces) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(SplitList("a, \"b,c\" ,d", ',', true, false), (Pieces{"a", "b,c", "d"}));
  EXPECT_EQ(SplitList("a, \"b,c\" ,d", ',', false, false), (Pieces{"a", "\"b,c\"", "d"}));
  EXPECT_EQ(SplitList("a,,b", ',', true, true), (Pieces{"a", "", "b"}));
  EXPECT_EQ(SplitList("a,,b", ',', true, false), (Pieces{"a", "b"}));
  EXPECT_EQ(SplitList("a,", ',', true, true), (Pieces{"a", ""}));
  EXPECT_EQ(SplitList(" ", ',', true, true), (Pieces{""}));
  EXPECT_EQ(SplitList("", ',', true, true), Pieces{});
  EXPECT_EQ(SplitList("a;b\";\"c", ';', false, false), (Pieces{"a", "b\";\"c"}));
  EXPECT_EQ(SplitList("\"open,still", ',', true, false), (Pieces{"open,still"}));
}

TEST(CTextUtilTest, UnquoteTakesInsideOrLongerSide) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"\"quoted\"", "quoted"},
      {"x\"a\"b\"y", "a\"b"},
      {"abcde\"fg", "abcde"},
      {"ab\"cdefg", "cdefg"},
      {"ab\"cd", "cd"},
      {"\"", ""},
      {"\"\"", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Unquote(c.in), c.out) << c.in;
}

}  // namespace
