#include "util/charset_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr TextCharset kUtf8 = TextCharset::kUtf8;
constexpr TextCharset k1252 = TextCharset::kWindows1252;
constexpr TextCharset kLatin1 = TextCharset::kIso8859_1;
constexpr TextCharset kLatin9 = TextCharset::kIso8859_15;
constexpr TextCharset k1250 = TextCharset::kWindows1250;

TEST(CCharsetTextTest, FilterAccentsFoldsEachSetByCharacter) {
  const struct {
    TextCharset set;
    std::string in, out;
  } cases[] = {
      {kUtf8, "Crème Brûlée Café × ÷ ¢\u00A0!", "Creme Brulee Cafe X ÷ ¢ !"},
      {kUtf8, "Dvořák – Łódź “Ősz” ‘x’ … Œuvre ĳ", "Dvorak - Lodz \"Osz\" 'x' ... OEuvre ij"},
      {kUtf8, "€ 😀 Ж \x7F", "€ 😀 Ж \x7F"},  // no fold: stays valid UTF-8
      {kUtf8, "a\xE9z", "a\xE9z"},
      {k1252, "Cr\xE8me \x8A\x80\x7F", "Creme    "},  // the byte table, as it always was
      {kLatin1, "Caf\xE9", "Cafe"},
      {k1250, "Dvo\xF8\xE1k \x8A", "Dvorak S"},
      {kLatin9, "\xA6\xBD\xA4", "Soe\xA4"},
  };
  for (const auto& c : cases) EXPECT_EQ(FilterAccentsIn(c.in, c.set), c.out) << c.in;
}

TEST(CCharsetTextTest, ConvertsThroughTheSystemConverters) {
  const struct {
    TextCharset from, to;
    std::string in, out;
  } cases[] = {
      {k1252, kUtf8, "\x81\x8D\x8F\x90\x9D", "\u0081\u008D\u008F\u0090\u009D"},
      {kUtf8, k1252, "\u0081\u008D\u008F\u0090\u009D", "\x81\x8D\x8F\x90\x9D"},
      {k1252, kUtf8, "\x80\x8A\x9F\xE9", "€ŠŸé"},
      {kUtf8, k1252, "Dvořák “x” €", "Dvor\xE1k \x93x\x94 \x80"},
      {kUtf8, kLatin1, "Dvořák “x” € 😀", "Dvor\xE1k \"x\" ? ?"},
      {kUtf8, k1250, "Dvořák ñ", "Dvo\xF8\xE1k n"},
      {kUtf8, kLatin9, "€ Œ", "\xA4 \xBC"},
      {k1250, kUtf8, "\xF8\x81", "ř\u0081"},
      {kUtf8, kUtf8, "Caf\xE9 \xC3\xA9", "Café é"},  // an invalid byte is read as Windows-1252
      {kUtf8, kLatin1, "\xC0\xAF\xED\xA0\x80", "\xC0\xAF\xED\xA0?"},
      {kLatin1, kUtf8, "\x80\xE9", "\u0080é"},
  };
  for (const auto& c : cases) EXPECT_EQ(ConvertText(c.in, c.from, c.to), c.out) << c.in;
}

TEST(CCharsetTextTest, AutoReadsValidUtf8WithAccentsAsUtf8) {
  EXPECT_EQ(ResolveCharset(std::nullopt, "Caf\xC3\xA9"), kUtf8);
  for (const char* other : {"Caf\xE9", "Cafe", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
    EXPECT_EQ(ResolveCharset(std::nullopt, other), SystemSingleByteCharset()) << other;
  }
  EXPECT_EQ(ResolveCharset(k1250, "Caf\xC3\xA9"), k1250);
  EXPECT_EQ(CharsetFromName("Windows-1250"), k1250);
  EXPECT_EQ(CharsetFromName("UTF-8"), kUtf8);
  EXPECT_EQ(CharsetFromName("latin1"), std::nullopt);
}

}  // namespace
