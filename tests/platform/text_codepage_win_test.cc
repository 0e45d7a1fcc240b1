// Code-page conversions backing the XML reader's encoding handlers on Windows.
#include "platform/text_codepage.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr unsigned kWestern = 1252;
constexpr unsigned kJapanese = 932;

TEST(TextCodePageWinTest, SingleByteCodePageConvertsEveryByte) {
  std::string out;
  size_t consumed = 0;
  ASSERT_TRUE(CodePageToUtf8(kWestern, "caf\xe9 \x80", &consumed, &out));
  EXPECT_EQ(consumed, 6u);
  EXPECT_EQ(out, "caf\xc3\xa9 \xe2\x82\xac");

  std::string back;
  ASSERT_TRUE(Utf8ToCodePage(kWestern, out, &consumed, &back));
  EXPECT_EQ(consumed, out.size());
  EXPECT_EQ(back, "caf\xe9 \x80");
}

TEST(TextCodePageWinTest, ACharacterCutAtTheEndWaitsForTheNextPiece) {
  std::string out;
  size_t consumed = 0;
  // "\x82\xa0" is one hiragana letter; its lead byte alone is left over.
  ASSERT_TRUE(CodePageToUtf8(kJapanese, "a\x82\xa0\x82", &consumed, &out));
  EXPECT_EQ(consumed, 3u);
  EXPECT_EQ(out, "a\xe3\x81\x82");

  std::string back;
  ASSERT_TRUE(Utf8ToCodePage(kWestern, "x\xc3", &consumed, &back));
  EXPECT_EQ(consumed, 1u) << "a UTF-8 sequence cut at the end";
  EXPECT_EQ(back, "x");
}

TEST(TextCodePageWinTest, ACharacterTheTargetLacksStopsTheConversionThere) {
  std::string back;
  size_t consumed = 0;
  // U+3042 has no place in the Western code page.
  EXPECT_FALSE(Utf8ToCodePage(kWestern, "ab\xe3\x81\x82z", &consumed, &back));
  EXPECT_EQ(consumed, 2u);
  EXPECT_EQ(back, "ab");
}

TEST(TextCodePageWinTest, TheWindowsCodePagesAreOffered) {
  bool western = false;
  for (const CodePageEncoding& encoding : SystemCodePageEncodings()) {
    western = western || encoding.nCodePage == kWestern;
  }
  EXPECT_TRUE(western);
}

}  // namespace
