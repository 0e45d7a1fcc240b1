#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/virtual_preset_file.h"
#include "engine/log_capture_support.h"
#include "engine/task.h"
#include "platform/file_system.h"
#include "support/temp_dir.h"

namespace {

// "YYYY-MM-DD hh:mm:ss": 'd' marks a digit, anything else must match exactly.
const char kTimestampShape[] = "dddd-dd-dd dd:dd:dd";
const char kHeaderTail[] = ": TASK 4 (plain text parsing)\n\n";

// Length of the header at the start of `printed`, or 0 when there is none.
size_t HeaderLength(const std::string& printed) {
  const std::string shape = std::string("\n") + kTimestampShape + kHeaderTail;
  if (printed.size() < shape.size()) return 0;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digitWanted = i >= 1 && i <= 19 && shape[i] == 'd';
    const bool ok = digitWanted ? (printed[i] >= '0' && printed[i] <= '9') : printed[i] == shape[i];
    if (!ok) return 0;
  }
  return shape.size();
}

class PlainTextInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // text0 joins every line, so format0 shows exactly the lines that were read.
    task.nIndex = 4;
    task.strLabel = "output0";
    task.valueReplaceList = BuiltInReplaceItems();
    task.keywords.emplace_back();
    task.keywords.back().DefineKeyword("text0", "line=-1");
    task.formatItems.push_back({"format0", "%text0%", ""});
  }

  // Writes `bytes` to the input file, parses it and returns what was printed.
  std::string Parse(const std::string& bytes) {
    const std::string path = dir.WriteFile("input.txt", bytes);
    CTextFileReader reader;
    EXPECT_TRUE(reader.Open(path).ok());
    CLogCapture capture;
    task.ParsePlainText(reader);
    return capture.Text();
  }

  // The result lines after a correct header; fails the test when the header is
  // missing or malformed.
  static std::string AfterHeader(const std::string& printed) {
    const size_t length = HeaderLength(printed);
    if (length == 0) {
      ADD_FAILURE() << "no header in: " << printed;
      return "";
    }
    return printed.substr(length);
  }

  const std::string& Result() const { return task.formatItems[0].strResult; }

  CTempDir dir;
  CTask task;
};

TEST_F(PlainTextInputTest, IniConfiguredTaskReadsRealFile) {
  const std::string input = dir.WriteFile("song.txt", "");
  const std::string ini = "[Input0]\nfile=" + input +
                          "\ntext0=find=Artist begin=\": \"\ntext1=begin=\": \" trim=1\n"
                          "text3=find=Artist line=1 begin=\": \" uppercase=1\ntext4=find=Composer\n"
                          "[Output0]\nformat0=\"%text1% by %text0%\"\nformat1=%text4%%text3%\n";
  CVirtualPreset_file preset(dir.WriteFile("q.ini", ini));
  ASSERT_TRUE(preset.Load());
  CTask configured;
  configured.nIndex = 4;
  configured.strInputPath = input;
  {
    CLogCapture capture;
    configured.Setup(preset, "Input0", "Output0");
  }
  dir.WriteFile("song.txt", "Title: Blue Sky  \r\nArtist: The Example Band\r\nAlbum: Demo\r\n");
  CTextFileReader reader;
  ASSERT_TRUE(reader.Open(input).ok());
  CLogCapture capture;
  configured.ParsePlainText(reader);

  EXPECT_EQ(AfterHeader(capture.Text()),
            "[output0] format0: Blue Sky by The Example Band\n"
            "[output0] format1: DEMO\n");
}

TEST_F(PlainTextInputTest, LineLengthLimit) {
  const std::string x199(199, 'x'), x200(200, 'x'), x201(201, 'x');
  const struct {
    const char* what;
    std::string bytes;
    bool accepted;
  } cases[] = {
      {"199 + LF", x199 + "\n", true},
      {"200 + LF", x200 + "\n", false},
      {"199 + CR LF", x199 + "\r\n", true},
      {"200 + CR LF", x200 + "\r\n", false},
      {"last line of 200 without LF", "a\n" + x200, true},
      {"last line of 201 without LF", "a\n" + x201, false},
      {"long line after good ones", "a\nb\n" + std::string(5000, 'y') + "\nc\n", false},
      {"CR-only ends, short", "a\rb\rc\n", true},
      {"CR-only ends, long",
       std::string(70, 'a') + "\r" + std::string(70, 'b') + "\r" + std::string(70, 'c') + "\n",
       false},
  };
  for (const auto& c : cases) {
    task.previousLines = {"old"};
    task.formatItems[0].strResult = "kept";
    const std::string printed = Parse(c.bytes);
    if (c.accepted) {
      EXPECT_FALSE(printed.empty()) << c.what;
      EXPECT_NE(task.previousLines, std::vector<std::string>{"old"}) << c.what;
    } else {
      EXPECT_EQ(printed, "") << c.what;
      EXPECT_EQ(task.previousLines, std::vector<std::string>{"old"}) << c.what;
      EXPECT_EQ(Result(), "kept") << c.what;
    }
  }
}

TEST_F(PlainTextInputTest, AcceptedLinesAreCutAtTheirLineEnd) {
  const std::string x199(199, 'x'), x200(200, 'x');
  EXPECT_EQ(AfterHeader(Parse(x199 + "\r\n" + "a\rb\rc\n" + x200)),
            "[output0] format0: " + x199 + "[CR]a[CR]" + x200 + "\n");
  EXPECT_EQ(task.previousLines, (std::vector<std::string>{x199, "a", x200}));
}

TEST_F(PlainTextInputTest, LastLineWithoutLineFeedCounts) {
  EXPECT_EQ(AfterHeader(Parse("Artist - Title")), "[output0] format0: Artist - Title\n");
  EXPECT_EQ(Parse("Artist - Title\n"), "");  // same lines: nothing new
  EXPECT_EQ(AfterHeader(Parse("one\ntwo")), "[output0] format0: one[CR]two\n");
}

TEST_F(PlainTextInputTest, IdenticalContentPrintsNothing) {
  EXPECT_FALSE(Parse("a\nb\n").empty());
  EXPECT_EQ(Parse("a\nb\n"), "");
  // The same lines with CR LF ends are the same lines.
  EXPECT_EQ(Parse("a\r\nb\r\n"), "");
  // A changed line, an extra line and a removed line are all changes.
  EXPECT_EQ(AfterHeader(Parse("a\nB\n")), "[output0] format0: a[CR]B\n");
  EXPECT_EQ(AfterHeader(Parse("a\nB\n\n")), "[output0] format0: a[CR]B[CR]\n");
  EXPECT_EQ(AfterHeader(Parse("a\n")), "[output0] format0: a\n");
}

TEST_F(PlainTextInputTest, EmptyFileMatchesTheInitialLines) {
  EXPECT_EQ(Parse(""), "");
  EXPECT_EQ(Result(), "");
  EXPECT_TRUE(task.previousLines.empty());
  // After real lines, emptying the file is a change to no lines.
  Parse("x\n");
  EXPECT_EQ(AfterHeader(Parse("")), "[output0] format0: \n");
}

TEST_F(PlainTextInputTest, OnlyTheFirstHundredLinesCount) {
  std::string bytes;
  for (int i = 0; i < 100000; ++i) bytes += "line" + std::to_string(i) + "\n";
  EXPECT_FALSE(Parse(bytes).empty());
  ASSERT_EQ(task.previousLines.size(), CTask::kMaxPlainTextLines);
  EXPECT_EQ(task.previousLines.back(), "line99");
  // A change after line 100, even an over-long line there, changes nothing.
  std::string changed;
  for (int i = 0; i < 100; ++i) changed += "line" + std::to_string(i) + "\n";
  EXPECT_EQ(Parse(changed + "other\n" + std::string(500, 'z') + "\n"), "");
  EXPECT_EQ(task.previousLines.size(), CTask::kMaxPlainTextLines);
}

TEST_F(PlainTextInputTest, ArbitraryBytesStayBounded) {
  // A NUL ends a line's text; 0xFF and other high bytes pass through unchanged.
  EXPECT_EQ(AfterHeader(Parse(std::string("ab\0cd\n\xFF\xFE\n", 9))),
            "[output0] format0: ab[CR]\xFF\xFE\n");
  // Whatever the bytes, no line is longer than the limit and at most 100 lines
  // are kept.
  std::string noise;
  for (int i = 0; i < 40000; ++i) noise += static_cast<char>((i * 7919) % 251);
  Parse(noise);
  EXPECT_LE(task.previousLines.size(), CTask::kMaxPlainTextLines);
  for (const std::string& line : task.previousLines) {
    EXPECT_LE(line.size(), CTask::kMaxPlainTextLineBytes);
  }
}

}  // namespace
