#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/virtual_preset_file.h"
#include "engine/log_capture_support.h"
#include "engine/task.h"
#include "support/temp_dir.h"

namespace {

class CFakeRegistry : public IPushTargetRegistry {
 public:
  explicit CFakeRegistry(int port) : nPort(port) {}
  void RegisterPushTarget(IPushTarget* target) override { targets.push_back(target); }
  int HttpPort() const override { return nPort; }

  std::vector<IPushTarget*> targets;

 private:
  int nPort;
};

class TaskSetupTest : public ::testing::Test {
 protected:
  // Writes `ini` to a real file, loads it and sets up a task from the sections
  // Input<n> / Output<n>. Returns everything the setup printed.
  std::string SetUpTask(const std::string& ini, int sectionNumber = 0, int index = 0,
                        const std::string& inputPath = "") {
    preset = std::make_unique<CVirtualPreset_file>(dir.WriteFile("quillrade.ini", ini));
    EXPECT_TRUE(preset->Load());
    task.pServer = pRegistry;
    task.nIndex = index;
    task.strInputPath = inputPath;
    CLogCapture capture;
    task.Setup(*preset, "Input" + std::to_string(sectionNumber),
               "Output" + std::to_string(sectionNumber));
    return capture.Text();
  }

  CTempDir dir;
  std::unique_ptr<CVirtualPreset_file> preset;
  IPushTargetRegistry* pRegistry = nullptr;
  CTask task;
};

TEST_F(TaskSetupTest, PlainTextTaskPrintsExactSummary) {
  const std::string input = dir.WriteFile("now playing.txt", "x\n");
  const std::string printed = SetUpTask(
      "[Input0]\n"
      "file=" +
          input +
          "\n"
          "text1=find=Artist begin=\": \"\n"
          "text0=\n"
          "text7=line=2\n"
          "Replace0=a,b\n"
          "Replace4= \"x, y\" , z\n"
          "[Output0]\n"
          "Replace0=c,d\n"
          "Url3=http://127.0.0.1:9/?t=%format0%\n"
          "format0=\"%text1%\"\n"
          "format2=say \"%text7%\" now\n",
      0, 3, input);

  EXPECT_EQ(printed,
            "--------------- TASK 3 ----------------\n"
            "Input File: " +
                input +
                "\n"
                "Type: Plain Text\n"
                "Search-and-replace items: 2\n"
                "Item 0: \"a\" -> \"b\"\n"
                "Item 1: \"x, y\" -> \"z\"\n"
                "\n"
                "Format strings: 2\n"
                "URLs: 1\n");

  EXPECT_EQ(task.strLabel, "output0");
  EXPECT_EQ(task.nInputType, kInputPlainText);
  EXPECT_EQ(task.strPushPath, "");
  ASSERT_EQ(task.keywords.size(), 2u);
  EXPECT_EQ(task.keywords[0].Name(), "text1");
  EXPECT_EQ(task.keywords[0].Token(), "%text1%");
  EXPECT_EQ(task.keywords[0].Begin(), ": ");
  EXPECT_EQ(task.keywords[1].Name(), "text7");
  ASSERT_EQ(task.formatItems.size(), 2u);
  EXPECT_EQ(task.formatItems[0].strName, "format0");
  EXPECT_EQ(task.formatItems[0].strTemplate, "%text1%");
  EXPECT_EQ(task.formatItems[1].strName, "format2");
  EXPECT_EQ(task.formatItems[1].strTemplate, "say %text7% now");
  EXPECT_EQ(task.vecUrls, std::vector<std::string>{"http://127.0.0.1:9/?t=%format0%"});
  ASSERT_EQ(task.valueReplaceList.size(), 7u);
  ASSERT_EQ(task.urlReplaceList.size(), 6u);
  EXPECT_EQ(task.urlReplaceList[5].strSearch, "c");
  EXPECT_EQ(task.urlReplaceList[5].strReplace, "d");
}

TEST_F(TaskSetupTest, RelativeMissingInputIsShownAbsoluteAndReported) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  const std::string printed =
      SetUpTask("[Input0]\nfile=sub/../gone.txt\n", 0, 0, "sub/../gone.txt");
  std::filesystem::current_path(previous);

  EXPECT_EQ(printed,
            "--------------- TASK 0 ----------------\n"
            "Input File: " +
                (dir.Path() / "gone.txt").string() +
                "\n"
                "ERROR: THIS FILE DOES NOT EXIST\n"
                "Type: Plain Text\n"
                "Search-and-replace items: 0\n"
                "\n"
                "Format strings: 0\n"
                "URLs: 0\n");
  // The stored path stays as configured; the cycle resolves it at read time.
  EXPECT_EQ(task.strInputPath, "sub/../gone.txt");
}

TEST_F(TaskSetupTest, PushTaskRegistersAndShowsItsAddress) {
  CFakeRegistry registry(7371);
  pRegistry = &registry;
  const std::string printed =
      SetUpTask("[Input2]\ntype=push\ntext0=line=0\n[Output2]\nformat0=%text0%\n", 2, 1);

  EXPECT_EQ(printed,
            "--------------- TASK 1 ----------------\n"
            "Input is HTTP server http://127.0.0.1:7371/input2?set=data\n"
            "Type: HTTP Push\n"
            "Search-and-replace items: 0\n"
            "\n"
            "Format strings: 1\n"
            "URLs: 0\n");
  EXPECT_EQ(task.nInputType, kInputPush);
  EXPECT_EQ(task.PushPath(), "/input2");
  ASSERT_EQ(registry.targets.size(), 1u);
  EXPECT_EQ(registry.targets[0], &task);
  EXPECT_EQ(task.keywords.size(), 1u);
}

TEST_F(TaskSetupTest, PushTaskWithoutServerShowsPortZero) {
  const std::string printed = SetUpTask("[Input2]\ntype=push\n", 2, 0);
  EXPECT_NE(printed.find("Input is HTTP server http://127.0.0.1:0/input2?set=data\n"),
            std::string::npos);
}

TEST_F(TaskSetupTest, XmlTaskReadsFlagsAndNoKeywords) {
  const std::string input = dir.WriteFile("in.xml", "<a/>");
  const std::string printed =
      SetUpTask("[Input0]\ntype=xml\nfile=" + input +
                    "\ntext0=line=0\ntrim=1\nuppercase=0\nfilter_accents=-2\nfilter_quotes=yes\n",
                0, 0, input);
  EXPECT_NE(printed.find("Type: XML\n"), std::string::npos);
  EXPECT_EQ(task.nInputType, kInputXml);
  EXPECT_TRUE(task.keywords.empty());
  EXPECT_TRUE(task.bXmlTrim);
  EXPECT_FALSE(task.bXmlUppercase);
  EXPECT_TRUE(task.bXmlFilterAccents);
  EXPECT_FALSE(task.bXmlFilterQuotes);  // not a number: 0
}

TEST_F(TaskSetupTest, TypeMatchesExactly) {
  const struct {
    const char* line;
    int type;
  } cases[] = {{"type=xml", kInputXml},        {"type=push", kInputPush},
               {"type=XML", kInputPlainText},  {"type=Push", kInputPlainText},
               {"type= xml", kInputPlainText}, {"type=text", kInputPlainText},
               {"", kInputPlainText}};
  for (const auto& c : cases) {
    CTask fresh;
    preset = std::make_unique<CVirtualPreset_file>(
        dir.WriteFile("t.ini", std::string("[Input0]\n") + c.line + "\n"));
    ASSERT_TRUE(preset->Load());
    CLogCapture capture;
    fresh.Setup(*preset, "Input0", "Output0");
    EXPECT_EQ(fresh.nInputType, c.type) << c.line;
  }
}

// Retrying unanswered requests is on unless the global key says 0; the summary
// stays as it was.
TEST_F(TaskSetupTest, RetriesFollowTheGlobalKey) {
  const struct {
    const char* global;
    bool enabled;
  } cases[] = {{"", true},
               {"[global]\nretry_unreachable_targets=0\n", false},
               {"[global]\nretry_unreachable_targets=1\n", true},
               {"[GLOBAL]\nRetry_Unreachable_Targets=0\n", false},
               {"[global]\nretry_unreachable_targets=\n", true}};
  const std::string task0 = "[Input0]\ntype=push\n[Output0]\nUrl0=http://127.0.0.1/x\n";
  const std::string unchanged = SetUpTask(task0);
  for (const auto& c : cases) {
    CTask fresh;
    preset = std::make_unique<CVirtualPreset_file>(dir.WriteFile("r.ini", c.global + task0));
    ASSERT_TRUE(preset->Load());
    CLogCapture capture;
    fresh.Setup(*preset, "Input0", "Output0");
    EXPECT_EQ(fresh.bRetryUnreachable, c.enabled) << c.global;
    EXPECT_EQ(capture.Text(), unchanged) << c.global;
  }
}

TEST_F(TaskSetupTest, BuiltInItemsStartBothLists) {
  SetUpTask("[Input0]\nfile=x\n");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"\r\n", "[CR]"}, {"\n\r", "[CR]"}, {"\n", "[CR]"}, {"\r", "[CR]"}, {"\t", "[TAB]"}};
  for (const auto* list : {&task.valueReplaceList, &task.urlReplaceList}) {
    ASSERT_EQ(list->size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ((*list)[i].strSearch, expected[i].first) << i;
      EXPECT_EQ((*list)[i].strReplace, expected[i].second) << i;
    }
  }
}

TEST_F(TaskSetupTest, HundredKeysOfEachKindAreAllRead) {
  std::string ini = "[Input0]\n";
  for (int i = 0; i < 100; ++i) {
    ini += "text" + std::to_string(i) + "=line=" + std::to_string(i) + "\n";
    ini += "Replace" + std::to_string(i) + "=in" + std::to_string(i) + "\n";
  }
  ini += "text100=line=0\nReplace100=x\n[Output0]\n";
  for (int i = 99; i >= 0; --i) {
    ini += "Url" + std::to_string(i) + "=u" + std::to_string(i) + "\n";
    ini += "format" + std::to_string(i) + "=f" + std::to_string(i) + "\n";
  }
  const std::string printed = SetUpTask(ini);
  EXPECT_EQ(task.keywords.size(), 100u);
  EXPECT_EQ(task.keywords.back().Name(), "text99");
  EXPECT_EQ(task.valueReplaceList.size(), 105u);
  EXPECT_EQ(task.formatItems.size(), 100u);
  // Index order, not file order.
  EXPECT_EQ(task.vecUrls.front(), "u0");
  EXPECT_EQ(task.formatItems.back().strName, "format99");
  EXPECT_NE(printed.find("Search-and-replace items: 100\n"), std::string::npos);
  EXPECT_NE(printed.find("Item 99: \"in99\" -> \"\"\n"), std::string::npos);
  EXPECT_NE(printed.find("Format strings: 100\nURLs: 100\n"), std::string::npos);
}

TEST(ParseReplaceItemTest, SplitsTrimsAndUnquotes) {
  const struct {
    const char* value;
    const char* search;
    const char* replacement;
  } cases[] = {
      {"a,b", "a", "b"},
      {"x , y", "x", "y"},
      {"\"a, b\",c", "a, b", "c"},
      {"feat.", "feat.", ""},  // no comma: delete every occurrence
      {"\" \",\"\"", " ", ""},
      {"a,b,c", "a", "b"},  // pieces after the second are ignored
      {",b", "", "b"},      // empty search kept
      {"  ", "", ""},
      {"\"unterminated, x", "unterminated, x", ""},
  };
  for (const auto& c : cases) {
    const SearchReplaceItem item = ParseReplaceItem(c.value);
    EXPECT_EQ(item.strSearch, c.search) << c.value;
    EXPECT_EQ(item.strReplace, c.replacement) << c.value;
  }
}

}  // namespace
