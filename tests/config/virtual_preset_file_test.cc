#include "config/virtual_preset_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;

using KeyText = std::pair<std::string, std::string>;

std::vector<std::string> SplitLines(std::string_view bytes) {
  CVirtualPreset_fileaccess reader(bytes);
  std::vector<std::string> lines;
  std::string line;
  while (reader.ReadLine(&line)) lines.push_back(line);
  return lines;
}

std::vector<KeyText> ItemsOf(const CVirtualPreset_section* section) {
  std::vector<KeyText> result;
  for (const auto& item : section->Items()) result.emplace_back(item->Key(), item->Text());
  return result;
}

std::vector<std::string> SectionNames(const CVirtualPreset_SectionContainer& container) {
  std::vector<std::string> names;
  for (const auto& section : container.Sections()) names.push_back(section->Name());
  return names;
}

TEST(CVirtualPresetFileAccessTest, SplitsLinesWithCarriageReturnAndLengthRules) {
  const std::string x2047(2047, 'x');
  const struct {
    std::string bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {"a\nb\n", {"a\n", "b\n"}},
      {"a\r\nb", {"a\n", "b"}},    // CR LF reads like LF
      {"x\ry\rz\r", {"xyz"}},      // lone CRs vanish: one line
      {"a\r\rb\n", {"a\rb\n"}},    // of two CRs the second stays
      {"a\0b\nc"s, {"a\n", "c"}},  // a NUL ends its line's text only
      {"\0abc"s, {""}},
      {"\n\n", {"\n", "\n"}},
      {std::string(2046, 'x') + "\r\n", {std::string(2046, 'x') + "\n"}},  // CR LF counts once
      {x2047 + "\n", {x2047, "\n"}},
      {std::string(5000, 'x'), {x2047, x2047, std::string(906, 'x')}},
      {std::string(2047, 'x') + "\ry", {x2047, "y"}},  // CR after a cut is still skipped
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitLines(c.bytes), c.lines) << "input size " << c.bytes.size();
  }
}

TEST(CVirtualPresetItemTest, ConvertsTextsLikeStrtolClampedTo32Bits) {
  const struct {
    const char* text;
    int value;
  } cases[] = {
      {"0x1F", 31},
      {"0XfF", 255},
      {"010", 8},
      {"08", 0},
      {"12abc", 12},
      {"-3", -3},
      {" \t+7", 7},
      {"abc", 0},
      {"", 0},
      {"0x", 0},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"99999999999", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-99999999999", INT_MIN},
      {"999999999999999999999999", INT_MAX},
      {"-0x80000001", INT_MIN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CVirtualPreset_item::ConvertToInt(c.text), c.value) << c.text;
  }
}

TEST(CVirtualPresetFileTest, MakesOneItemPerLineByKind) {
  CVirtualPreset_file preset("x.ini");
  preset.Parse(
      "key = value   \n"
      "a=b=c\n"
      ";a=b\n"
      "; plain comment\n"
      "#a=b\n"
      "\n"
      "     \n"
      "just text\t \n"
      "  =empty key\n");
  ASSERT_EQ(SectionNames(preset), std::vector<std::string>{""});
  const std::vector<KeyText> expected = {
      {"key", " value"}, {"a", "b=c"}, {";", "a=b"}, {";", " plain comment"},
      {"#a", "b"},       {"", ""},     {"", " "},    {"", "just text\t"},
  };
  // "  =empty key" has the empty key: it replaces the first empty-key item's text.
  std::vector<KeyText> withReplacement = expected;
  withReplacement[5].second = "empty key";
  EXPECT_EQ(ItemsOf(preset.Sections()[0].get()), withReplacement);
  EXPECT_EQ(preset.GetItem("", "a")->Text(), "b=c");  // the comment ";a=b" is not key a
  EXPECT_EQ(preset.GetItem("", ";")->Text(), "a=b");
}

TEST(CVirtualPresetFileTest, MergesRepeatedSectionsAndKeys) {
  CVirtualPreset_file preset("x.ini");
  preset.Parse(
      "[Output1]\n"
      "File=a\n"
      "n=1\n"
      "[Other]\n"
      "z=0\n"
      "[output1]\n"
      "m=2\n"
      "file = b\n");
  EXPECT_EQ(SectionNames(preset), (std::vector<std::string>{"Output1", "Other"}));
  const std::vector<KeyText> expected = {{"File", " b"}, {"n", "1"}, {"m", "2"}};
  EXPECT_EQ(ItemsOf(preset.FindSection("OUTPUT1")), expected);
  EXPECT_EQ(preset.GetString(preset.GetItem("output1", "FILE"), ""), " b");
}

TEST(CVirtualPresetFileTest, NestsBracketPairsAndIgnoresTextAroundThem) {
  CVirtualPreset_file preset("x.ini");
  preset.Parse(
      "[A][B]\n"
      "k=v\n"
      "[A] ; trailing comment\n"
      "a=1\n"
      "[C]x[D\n"
      "c=3\n");
  EXPECT_EQ(SectionNames(preset), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(preset.GetItem("A", "k"), nullptr);
  EXPECT_EQ(preset.GetItem("B", "k"), nullptr);
  const CVirtualPreset_section* nested = preset.FindSection("a")->FindSection("b");
  ASSERT_NE(nested, nullptr);
  EXPECT_EQ(nested->Parent(), preset.FindSection("A"));
  EXPECT_EQ(ItemsOf(nested), (std::vector<KeyText>{{"k", "v"}}));
  EXPECT_EQ(preset.GetInt(preset.GetItem("A", "a"), 0), 1);
  EXPECT_EQ(preset.GetInt(preset.GetItem("C", "c"), 0), 3);
}

TEST(CVirtualPresetFileTest, BrokenHeaderHidesItsItemsUntilTheNextHeader) {
  CVirtualPreset_file preset("x.ini");
  preset.Parse(
      "top=1\n"
      "[broken\n"
      "k=v\n"
      "k2=v2\n"
      "[ok]\n"
      "x=1\n"
      "[\n");
  EXPECT_EQ(preset.GetItem("", "k"), nullptr);
  EXPECT_EQ(preset.GetItem("broken", "k"), nullptr);
  EXPECT_EQ(preset.GetItem("[broken", "k"), nullptr);
  EXPECT_EQ(preset.GetInt(preset.GetItem("ok", "x"), 0), 1);
  EXPECT_EQ(preset.GetInt(preset.GetItem("", "top"), 0), 1);
  EXPECT_EQ(SectionNames(preset), (std::vector<std::string>{"", "ok"}));
  EXPECT_EQ(ItemsOf(preset.FindSection("")), (std::vector<KeyText>{{"top", "1"}}));
}

// Line numbers count line feeds: CR LF counts once, a piece cut at the length
// limit stays on its line, and a repeated key keeps every line that set it.
TEST(CVirtualPresetFileTest, KeepsTheLinesThatMadeSectionsAndItems) {
  CVirtualPreset_file preset("x.ini");
  preset.Parse(
      "top=1\r\n"   // 1
      "\r\n"        // 2
      "[Input0]\n"  // 3
      "file=a\n"    // 4
      "long=" +
      std::string(3000, 'x') +
      "\n"          // 5 (cut into two pieces)
      "FILE=b\n"    // 6
      "[A][B]\n"    // 7
      "k=v\n"       // 8
      "[broken\n"   // 9
      "k=v\n"       // 10
      "[input0]\n"  // 11
      "file=c\n");  // 12
  EXPECT_EQ(preset.FindSection("")->Line(), 1);
  EXPECT_EQ(preset.FindSection("input0")->Line(), 3);
  EXPECT_EQ(preset.GetItem("Input0", "file")->Lines(), (std::vector<int>{4, 6, 12}));
  EXPECT_EQ(preset.GetItem("Input0", "long")->Lines(), (std::vector<int>{5}));
  // The rest of the cut line is an item of its own, still on line 5.
  EXPECT_EQ(preset.FindSection("Input0")->Items()[2]->Lines(), (std::vector<int>{5}));
  EXPECT_EQ(preset.FindSection("A")->Line(), 7);
  EXPECT_EQ(preset.FindSection("A")->FindSection("B")->Line(), 7);
  EXPECT_EQ(preset.FindSection("A")->FindSection("B")->FindItem("k")->Lines(),
            (std::vector<int>{8}));
  ASSERT_EQ(preset.DetachedSections().size(), 1u);
  EXPECT_EQ(preset.DetachedSections()[0]->Line(), 9);
}

TEST(CVirtualPresetFileTest, EmptyBracketsContinueTheLeadingSection) {
  CVirtualPreset_file preset("x.ini");
  preset.Parse("a=1\n[s]\nb=2\n[]\nc=3\n");
  EXPECT_EQ(SectionNames(preset), (std::vector<std::string>{"", "s"}));
  EXPECT_EQ(ItemsOf(preset.FindSection("")), (std::vector<KeyText>{{"a", "1"}, {"c", "3"}}));
}

TEST(CVirtualPresetFileTest, LookupsFallBackToDefaults) {
  CVirtualPreset_file preset("x.ini");
  preset.Parse(
      "key=top\n"
      "[Global]\n"
      "HTTP_Timeout_Seconds=5\n"
      "x=\n"
      "word=abc\n");
  EXPECT_EQ(preset.GetString(preset.GetItem("", "key"), "d"), "top");
  EXPECT_EQ(preset.GetItem("global", "key"), nullptr);
  EXPECT_EQ(preset.GetInt(preset.GetItem("global", "http_timeout_seconds"), 20), 5);
  EXPECT_EQ(preset.GetInt(preset.GetItem("global", "missing"), 20), 20);
  EXPECT_EQ(preset.GetInt(preset.GetItem("nosection", "x"), 20), 20);
  // An empty text reads as the default string but as the integer 0.
  EXPECT_EQ(preset.GetString(preset.GetItem("global", "x"), "d"), "d");
  EXPECT_EQ(preset.GetInt(preset.GetItem("global", "x"), 7), 0);
  EXPECT_EQ(preset.GetInt(preset.GetItem("global", "word"), 7), 0);
  // Arguments are compared as given: nothing is trimmed.
  EXPECT_EQ(preset.GetItem(" global", "x"), nullptr);
  EXPECT_EQ(preset.GetItem("global", "x "), nullptr);
}

TEST(CVirtualPresetFileTest, ParseStartsFromEmpty) {
  CVirtualPreset_file preset("x.ini");
  preset.Parse("[a]\nk=1\n[b\nz=1\n");
  preset.Parse("[c]\nk=2\n");
  EXPECT_EQ(SectionNames(preset), std::vector<std::string>{"c"});
  EXPECT_EQ(preset.GetItem("a", "k"), nullptr);
}

TEST(CVirtualPresetFileTest, SplitsPathAtLastBackslashElseLastSlash) {
  const std::string longPath = std::string(250, 'd') + "/" + std::string(20, 'f');
  const struct {
    std::string path, folder, file;
  } cases[] = {
      {"C:\\cfg/x.ini", "C:\\", "cfg/x.ini"},
      {"cfg/x.ini", "cfg/", "x.ini"},
      {"/etc/a/b.ini", "/etc/a/", "b.ini"},
      {"x.ini", "", "x.ini"},
      {"/etc/", "/etc/", ""},
      {longPath, std::string(250, 'd') + "/", std::string(20, 'f')},  // never cut
  };
  for (const auto& c : cases) {
    CVirtualPreset_file preset(c.path);
    EXPECT_EQ(preset.Folder(), c.folder) << c.path;
    EXPECT_EQ(preset.FileName(), c.file) << c.path;
    EXPECT_EQ(preset.FullPath(), c.path);
    EXPECT_TRUE(preset.Sections().empty());
  }
}

class CVirtualPresetLoadTest : public ::testing::Test {
 protected:
  CTempDir dir;
};

TEST_F(CVirtualPresetLoadTest, ReloadReplacesContentAndFailureLeavesItEmpty) {
  const std::string path = dir.WriteFile("a.ini", "[s]\r\nold=1\r\n");
  CVirtualPreset_file preset(path);
  ASSERT_TRUE(preset.Load());
  EXPECT_EQ(preset.GetInt(preset.GetItem("s", "old"), 0), 1);

  dir.WriteFile("a.ini", "[s]\nnew=2\n\0\0\0"s);  // trailing NULs are dropped
  ASSERT_TRUE(preset.Load());
  EXPECT_EQ(preset.GetItem("s", "old"), nullptr);
  EXPECT_EQ(ItemsOf(preset.FindSection("s")), (std::vector<KeyText>{{"new", "2"}}));

  std::filesystem::remove(path);
  EXPECT_FALSE(preset.Load());
  EXPECT_TRUE(preset.Sections().empty());
}

// As editors save files: a byte-order mark, a stray NUL, a line past the limit.
TEST_F(CVirtualPresetLoadTest, SkipsAByteOrderMarkAndNamesNulAndLongLines) {
  const std::string url = "http://h/?" + std::string(3990, 'u');
  CVirtualPreset_file preset(dir.WriteFile(
      "w.ini", "\xEF\xBB\xBF[Input0]\r\nfile=a\0junk\r\ntype=push\n[Output0]\nUrl0="s + url +
                   "\nformat0=x\n"));
  ASSERT_TRUE(preset.Load());
  EXPECT_EQ(SectionNames(preset), (std::vector<std::string>{"Input0", "Output0"}));
  EXPECT_EQ(preset.GetString(preset.GetItem("Input0", "file"), ""), "a");
  EXPECT_EQ(preset.GetString(preset.GetItem("Input0", "type"), ""), "push");
  EXPECT_EQ(preset.GetString(preset.GetItem("Output0", "format0"), ""), "x");
  EXPECT_EQ(preset.GetString(preset.GetItem("Output0", "Url0"), ""), url.substr(0, 2042));
  EXPECT_EQ(preset.NulLines(), (std::vector<int>{2}));
  ASSERT_EQ(preset.LongLines().size(), 1u);
  EXPECT_EQ(preset.LongLines()[0].nLine, 5);
  EXPECT_EQ(preset.LongLines()[0].nBytes, url.size() + 5);
}

TEST_F(CVirtualPresetLoadTest, ReadsByTheWholePathHoweverLong) {
  // Folders of 200 bytes each: the path passes 259 and 1023 bytes, far below the
  // system's own limit.
  std::filesystem::path folder = dir.Path();
  for (int i = 0; i < 6; ++i) folder /= std::string(200, static_cast<char>('a' + i));
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "long.ini").string();
  ASSERT_GT(path.size(), 1200u);
  std::ofstream(std::filesystem::path(path)) << "[s]\nk=7\n";  // wide: past MAX_PATH
  CVirtualPreset_file preset(path);
  EXPECT_EQ(preset.FullPath(), path);
  ASSERT_TRUE(preset.Load());
  EXPECT_EQ(preset.GetInt(preset.GetItem("s", "k"), 0), 7);
}

TEST_F(CVirtualPresetLoadTest, RejectsEmptyNulOnlyAndNonFiles) {
  const std::string inputs[] = {"", "\0"s, std::string(100, '\0')};
  for (const std::string& bytes : inputs) {
    CVirtualPreset_file preset(dir.WriteFile("e.ini", bytes));
    EXPECT_FALSE(preset.Load()) << bytes.size() << " bytes";
  }
  CVirtualPreset_file folder(dir.Path().string());
  EXPECT_FALSE(folder.Load());
  CVirtualPreset_file missing(dir.PathOf("missing.ini"));
  EXPECT_FALSE(missing.Load());
}

TEST_F(CVirtualPresetLoadTest, AcceptsExactly16MiB) {
  // A header, one item, then a comment line padded with spaces up to the size.
  std::string bytes = "[big]\nk=42\n;";
  bytes.resize(kMaxPresetFileBytes, ' ');
  CVirtualPreset_file preset(dir.WriteFile("big.ini", bytes));
  ASSERT_TRUE(preset.Load());
  EXPECT_EQ(preset.GetInt(preset.GetItem("big", "k"), 0), 42);

  bytes.push_back(' ');
  dir.WriteFile("big.ini", bytes);
  EXPECT_FALSE(preset.Load());
  EXPECT_TRUE(preset.Sections().empty());
}

TEST(CVirtualPresetFileTest, ManyDistinctNamesParseInLinearTime) {
  // Guards against a lookup cost per line that grows with the section size: a
  // full-size file of distinct keys must not stall the reload.
  std::string bytes = "[s]\n";
  for (int i = 0; i < 200000; ++i)
    bytes += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  for (int i = 0; i < 50000; ++i) bytes += "[t" + std::to_string(i) + "]\n";
  CVirtualPreset_file preset("x.ini");
  preset.Parse(bytes);
  EXPECT_EQ(preset.FindSection("s")->Items().size(), 200000u);
  EXPECT_EQ(preset.GetInt(preset.GetItem("S", "K199999"), 0), 199999);
  EXPECT_EQ(preset.Sections().size(), 50001u);
}

}  // namespace
