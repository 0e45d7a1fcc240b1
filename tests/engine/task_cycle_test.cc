#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/virtual_preset_file.h"
#include "engine/delivery.h"
#include "engine/http_receiver_support.h"
#include "engine/log_capture_support.h"
#include "engine/task.h"
#include "engine/url_compose.h"
#include "support/temp_dir.h"

namespace {

using Targets = std::vector<std::string>;

class CRecordingRegistry : public IPushTargetRegistry {
 public:
  void RegisterPushTarget(IPushTarget* target) override { targets.push_back(target); }
  int HttpPort() const override { return 7370; }

  std::vector<IPushTarget*> targets;
};

// Builds tasks from a real configuration file the way the main thread does, runs
// passes over them against real input files, and records what reached a real
// HTTP receiver and what was printed.
class TaskCycleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(receiver.Start()); }

  // "PORT" in `ini` becomes the receiver's port; "DIR" the input folder.
  void LoadTasks(std::string ini, int count, int taskWithoutRetries = -1) {
    ReplaceAll(ini, "PORT", std::to_string(receiver.Port()));
    ReplaceAll(ini, "DIR", dir.Path().string());
    preset = std::make_unique<CVirtualPreset_file>(dir.WriteFile("quillrade.ini", ini));
    ASSERT_TRUE(preset->Load());
    std::map<std::string, CTask*> outputs;
    for (int i = 0; i < count; ++i) {
      auto task = std::make_unique<CTask>();
      task->pServer = &registry;
      task->nIndex = i;
      const std::string input = "Input" + std::to_string(i);
      task->strInputPath = preset->GetString(preset->GetItem(input, "file"), "");
      task->Setup(*preset, input, "Output" + std::to_string(i));
      outputs[task->strLabel] = task.get();
      tasks.push_back(std::move(task));
    }
    for (auto& task : tasks) task->LinkOutputReferences(outputs);
    if (taskWithoutRetries >= 0) tasks[taskWithoutRetries]->bRetryUnreachable = false;
    for (auto& task : tasks) task->AttachDelivery(delivery);
    Forget();
  }

  // One pass of the main loop, each task's requests driven until they ended
  // before the next task's turn (so tasks do not overlap); returns the request
  // targets it sent.
  Targets RunPass() {
    size_t before = receiver.RequestCount();
    for (auto& task : tasks) {
      task->RunCycle();
      EXPECT_TRUE(DriveUntilIdle(delivery));
    }
    Targets all = receiver.Targets();
    return Targets(all.begin() + static_cast<long>(before), all.end());
  }

  // Writes the input file and gives it a modification time no earlier write had,
  // so every rewrite is seen even within the file system's time granularity.
  std::string WriteInput(const std::string& name, const std::string& bytes) {
    std::string path = dir.WriteFile(name, bytes);
    Touch(path);
    return path;
  }
  void Touch(const std::string& path) {
    static auto next = std::filesystem::file_time_type::clock::now();
    next += std::chrono::seconds(1);
    std::filesystem::last_write_time(path, next);
  }

  void Forget() { capture.Clear(); }
  std::string Printed() const { return capture.Text(); }
  std::string Url(const std::string& target) const { return receiver.BaseUrl() + target; }
  std::string FetchLine(const std::string& target, const char* status = "OK") const {
    return "\nFetching URL: " + Url(target) + "..." + status + "\n";
  }

  CLogCapture capture;
  CTempDir dir;
  CHttpReceiver receiver;
  CRecordingRegistry registry;
  std::unique_ptr<CVirtualPreset_file> preset;
  std::vector<std::unique_ptr<CTask>> tasks;
  CDelivery delivery;
};

TEST_F(TaskCycleTest, PlainTextTaskPushesOnFirstPassAndWheneverTheFileTimeChanges) {
  WriteInput("a.txt", "Title: Blue Sky\nArtist: A&B\n");
  LoadTasks(
      "[Input0]\nfile=DIR/a.txt\ntext0=begin=\"Title: \"\ntext1=find=Artist begin=\": \"\n"
      "[Output0]\nformat0=\"%text0% by %text1%\"\n"
      "Url0=http://127.0.0.1:PORT/np?song=%format0%&n=1\n",
      1);

  EXPECT_EQ(RunPass(), Targets{"/np?song=Blue%20Sky%20by%20A%26B&n=1"});
  EXPECT_NE(Printed().find("[output0] format0: Blue Sky by A&B\n" +
                           FetchLine("/np?song=Blue Sky by A&B&n=1")),
            std::string::npos)
      << Printed();
  EXPECT_NE(Printed().find(": TASK 0 (plain text parsing)\n\n"), std::string::npos);

  Forget();
  EXPECT_EQ(RunPass(), Targets{});
  EXPECT_EQ(Printed(), "");

  // Same content, new time: pushed again, but nothing recomputed or printed.
  Touch(dir.Path() / "a.txt");
  EXPECT_EQ(RunPass(), Targets{"/np?song=Blue%20Sky%20by%20A%26B&n=1"});
  EXPECT_EQ(Printed(), FetchLine("/np?song=Blue Sky by A&B&n=1"));

  WriteInput("a.txt", "Title: Red Sea\nArtist: C\n");
  EXPECT_EQ(RunPass(), Targets{"/np?song=Red%20Sea%20by%20C&n=1"});
}

TEST_F(TaskCycleTest, MissingFileIsSkippedUntilItAppears) {
  LoadTasks(
      "[Input0]\nfile=DIR/later.txt\ntext0=line=0\n[Output0]\nformat0=%text0%\n"
      "Url0=http://127.0.0.1:PORT/l?v=%format0%\n",
      1);
  EXPECT_EQ(RunPass(), Targets{});
  EXPECT_EQ(RunPass(), Targets{});
  WriteInput("later.txt", "here\n");
  EXPECT_EQ(RunPass(), Targets{"/l?v=here"});
  std::filesystem::remove(dir.Path() / "later.txt");
  EXPECT_EQ(RunPass(), Targets{});
  WriteInput("later.txt", "again\n");
  EXPECT_EQ(RunPass(), Targets{"/l?v=again"});
}

TEST_F(TaskCycleTest, AFailingReadKeepsTheValuesAndIsReported) {
  const std::string plain = WriteInput("a.txt", "A1\n");
  const std::string xml = WriteInput("b.xml", "<r><t>B1</t></r>");
  LoadTasks(
      "[Input0]\nfile=DIR/a.txt\ntext0=line=0\n[Output0]\nformat0=%text0%\n"
      "Url0=http://127.0.0.1:PORT/a?v=%format0%\n"
      "[Input1]\ntype=xml\nfile=DIR/b.xml\n[Output1]\nformat0=%xml_t%\n"
      "Url0=http://127.0.0.1:PORT/b?v=%format0%\n",
      2);
  EXPECT_EQ(RunPass(), (Targets{"/a?v=A1", "/b?v=B1"}));

  // Both inputs become links to a file that opens but whose every read fails.
  for (const std::string& path : {plain, xml}) {
    std::filesystem::remove(path);
    std::filesystem::create_symlink("/proc/self/mem", path);
  }
  Forget();
  EXPECT_EQ(RunPass(), (Targets{"/a?v=A1", "/b?v=B1"}));
  EXPECT_EQ(Printed(), "Error reading " + plain + ": Input/output error\n" + FetchLine("/a?v=A1") +
                           "Error reading " + xml + ": Input/output error\n" +
                           FetchLine("/b?v=B1"));

  // The next change is read again.
  for (const std::string& path : {plain, xml}) std::filesystem::remove(path);
  WriteInput("a.txt", "A2\n");
  WriteInput("b.xml", "<r><t>B2</t></r>");
  EXPECT_EQ(RunPass(), (Targets{"/a?v=A2", "/b?v=B2"}));
}

const char kPushIni[] =
    "[Input0]\ntype=push\ntext0=line=0\n"
    "[Output0]\nformat0=%text0%\nUrl0=http://127.0.0.1:PORT/p?v=%format0%&k=1\n";

TEST_F(TaskCycleTest, PushedTextsAreSentPercentEncoded) {
  LoadTasks(kPushIni, 1);
  ASSERT_EQ(registry.targets.size(), 1u);
  struct Case {
    std::string text;
    std::string target;
  } cases[] = {
      {"a&b=c?d/e f", "/p?v=a%26b%3Dc%3Fd%2Fe%20f&k=1"},
      {"\xE9\xFF", "/p?v=%e9%ff&k=1"},
      {"\x7F\x01", "/p?v=%7f%01&k=1"},
      {"x\r\ny\tz", "/p?v=x%5BCR%5Dy%5BTAB%5Dz&k=1"},
      {"50%", "/p?v=50%25&k=1"},
      {"%format0%", "/p?v=%25format0%25&k=1"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(tasks[0]->ReceivePush(c.text));
    EXPECT_EQ(RunPass(), Targets{c.target}) << c.text;
  }
  Forget();
  tasks[0]->ReceivePush("A B");
  RunPass();
  EXPECT_EQ(Printed(), "HTTP push /input0: A B\nformat0: A B\n" + FetchLine("/p?v=A B&k=1"));
}

TEST_F(TaskCycleTest, PushedTextsAreWorkedOffOnePerPassAndEmptyOnesDropped) {
  LoadTasks(kPushIni, 1);
  for (const char* text : {"one", "", "two", "three"}) tasks[0]->ReceivePush(text);
  EXPECT_EQ(RunPass(), Targets{"/p?v=one&k=1"});
  EXPECT_EQ(RunPass(), Targets{});  // the empty text: taken, no effect
  EXPECT_EQ(RunPass(), Targets{"/p?v=two&k=1"});
  EXPECT_EQ(RunPass(), Targets{"/p?v=three&k=1"});
  EXPECT_EQ(RunPass(), Targets{});
  // A repeated text is recomputed and pushed again.
  tasks[0]->ReceivePush("three");
  EXPECT_EQ(RunPass(), Targets{"/p?v=three&k=1"});
}

TEST_F(TaskCycleTest, TextsPushedFromAnotherThreadArriveInOrder) {
  LoadTasks(kPushIni, 1);
  constexpr int kTexts = 200;
  std::thread pusher([&] {
    for (int i = 0; i < kTexts; ++i) tasks[0]->ReceivePush("n" + std::to_string(i));
  });
  Targets sent;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (sent.size() < kTexts && std::chrono::steady_clock::now() < deadline) {
    for (const std::string& target : RunPass()) sent.push_back(target);
  }
  pusher.join();
  ASSERT_EQ(sent.size(), static_cast<size_t>(kTexts));
  for (int i = 0; i < kTexts; ++i) EXPECT_EQ(sent[i], "/p?v=n" + std::to_string(i) + "&k=1");
}

TEST_F(TaskCycleTest, PushQueueIsBounded) {
  LoadTasks(kPushIni, 1);
  for (size_t i = 0; i < CTask::kMaxPushQueueTexts; ++i) {
    ASSERT_TRUE(tasks[0]->ReceivePush("t" + std::to_string(i)));
  }
  Forget();
  EXPECT_FALSE(tasks[0]->ReceivePush("overflow"));
  EXPECT_EQ(Printed(),
            "HTTP push /input0: overflow\nHTTP push /input0: queue full, text dropped\n");
  EXPECT_EQ(RunPass(), Targets{"/p?v=t0&k=1"});
  EXPECT_TRUE(tasks[0]->ReceivePush("fits again"));
}

TEST_F(TaskCycleTest, FailuresAreReportedAndTheNextUrlIsStillTried) {
  CHttpReceiver closed;
  ASSERT_TRUE(closed.Start());
  const int closedPort = closed.Port();
  closed.Stop();
  LoadTasks(
      "[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%text0%\n"
      "Url0=http://127.0.0.1:PORT/first?v=%format0%\n"
      "Url1=http://127.0.0.1:" +
          std::to_string(closedPort) +
          "/refused\n"
          "Url2=http://127.0.0.1:PORT/third\n",
      1);
  receiver.SetStatus(404);
  Forget();
  tasks[0]->ReceivePush("x");
  EXPECT_EQ(RunPass(), (Targets{"/first?v=x", "/third"}));
  // The slots run at once, so their ends may come in any order, each beside its
  // URL.
  for (const std::string& line :
       {FetchLine("/first?v=x", "ERROR"), FetchLine("/third", "ERROR"),
        "\nFetching URL: http://127.0.0.1:" + std::to_string(closedPort) + "/refused...ERROR\n"}) {
    EXPECT_NE(Printed().find(line), std::string::npos) << Printed();
  }
  receiver.SetStatus(200);
  tasks[0]->ReceivePush("y");
  Forget();
  RunPass();
  EXPECT_NE(Printed().find(FetchLine("/third", "OK")), std::string::npos);
}

TEST_F(TaskCycleTest, UrlReplaceItemsSpareALeadingHttpScheme) {
  LoadTasks(
      "[Input0]\ntype=push\ntext0=line=0\n"
      "[Output0]\nReplace0=p,q\nformat0=%text0%\n"
      "Url0=http://127.0.0.1:PORT/pop?v=%format0%\n"
      "Url1=HTTP://127.0.0.1:PORT/pip\n"
      "Url2=http://127.0.0.1:PORT/t\tab\n",
      1);
  tasks[0]->ReceivePush("up");
  Forget();
  EXPECT_EQ(RunPass(), (Targets{"/qoq?v=uq", "/qiq", "/t[TAB]ab"}));
  EXPECT_NE(Printed().find("\nFetching URL: HTTP://127.0.0.1:" + std::to_string(receiver.Port()) +
                           "/qiq...OK\n"),
            std::string::npos)
      << Printed();
}

const char kNowPlayingXml[] =
    "<?xml version=\"1.0\"?>\n"
    "<nowplaying><song duration=\"215\"><title>Blue Sky</title>"
    "<artist>Caf\xC3\xA9 \"Band\"</artist></song></nowplaying>\n";

TEST_F(TaskCycleTest, XmlTaskResolvesTokensFiltersValuesAndPushes) {
  WriteInput("np.xml", kNowPlayingXml);
  LoadTasks(
      "[Input0]\ntype=xml\nfile=DIR/np.xml\nuppercase=1\nfilter_quotes=1\n"
      "[Output0]\nformat0=\"%xml_artist% - %xml_title%\"\n"
      "format1=%xmlprop_song:duration%s\n"
      "Url0=http://127.0.0.1:PORT/x?a=%format0%&d=%format1%\n",
      1);
  EXPECT_EQ(RunPass(), Targets{"/x?a=CAF%c3%a9%20BAND%20-%20BLUE%20SKY&d=215s"});
  EXPECT_NE(Printed().find(": TASK 0 (xml parsing)\n\n[output0] format0: CAF\xC3\xA9 BAND - "
                           "BLUE SKY\n[output0] format1: 215s\n"),
            std::string::npos)
      << Printed();
  EXPECT_EQ(RunPass(), Targets{});
}

TEST_F(TaskCycleTest, XmlThatDoesNotParseIsReportedAndNotPushed) {
  const std::string path = WriteInput("np.xml", kNowPlayingXml);
  LoadTasks("[Input0]\ntype=xml\nfile=" + path +
                "\n[Output0]\nformat0=%xml_title%\nUrl0=http://127.0.0.1:PORT/x?t=%format0%\n",
            1);
  EXPECT_EQ(RunPass(), Targets{"/x?t=Blue%20Sky"});

  WriteInput("np.xml", "<nowplaying><title>Broken</nowplaying>");
  Forget();
  EXPECT_EQ(RunPass(), Targets{});
  EXPECT_EQ(Printed(), "Error parsing XML in " + path + "\n");
  Forget();
  EXPECT_EQ(RunPass(), Targets{});  // the same file is not tried again
  EXPECT_EQ(Printed(), "");

  // Only the first 65536 bytes are read: a larger document is cut and fails.
  std::string big = "<r><title>Big</title>";
  while (big.size() < 70000) big += "<pad>0123456789</pad>";
  big += "</r>";
  WriteInput("np.xml", big);
  Forget();
  EXPECT_EQ(RunPass(), Targets{});
  EXPECT_EQ(Printed(), "Error parsing XML in " + path + "\n");

  big.resize(60000);
  big.replace(big.rfind("<pad>"), std::string::npos, "</r>");
  WriteInput("np.xml", big);
  EXPECT_EQ(RunPass(), Targets{"/x?t=Big"});
}

TEST_F(TaskCycleTest, XmlDocumentsCannotMakeTheParserFetchOrReadOtherFiles) {
  const std::string secret = dir.WriteFile("secret.txt", "secret");
  const std::string base = receiver.BaseUrl();
  WriteInput("np.xml",
             "<?xml version=\"1.0\"?>\n"
             "<!DOCTYPE r SYSTEM \"" +
                 base +
                 "/dtd\" [\n"
                 "<!ENTITY net SYSTEM \"" +
                 base +
                 "/entity\">\n"
                 "<!ENTITY file SYSTEM \"file://" +
                 secret +
                 "\">\n"
                 "]><r><a>&net;</a><b>&file;</b><c>ok</c></r>");
  LoadTasks(
      "[Input0]\ntype=xml\nfile=DIR/np.xml\n[Output0]\nformat0=%xml_a%|%xml_b%|%xml_c%\n"
      "Url0=http://127.0.0.1:PORT/x?v=%format0%\n",
      1);
  EXPECT_EQ(RunPass(), Targets{"/x?v=%7C%7Cok"});
}

TEST_F(TaskCycleTest, XmlWhoseEntitiesExpandTooFarIsRefusedBeforeAnythingIsPrinted) {
  const std::string declarations = "<!DOCTYPE r [<!ENTITY a \"" + std::string(20000, 'x') +
                                   "\"><!ENTITY e \"Tom &amp; Jerry\">]>";
  const std::string path =
      WriteInput("np.xml", declarations + "<r><song d=\"&e; 3&lt;4\"><t>&e;</t></song></r>");
  LoadTasks("[Input0]\ntype=xml\nfile=" + path +
                "\n[Output0]\nformat0=%xmlprop_song:d%|%xml_t%\n"
                "Url0=http://127.0.0.1:PORT/x?d=%format0%\n",
            1);
  EXPECT_EQ(RunPass(), Targets{"/x?d=Tom%20%26%20Jerry%203%3C4%7C"});

  // The 56 KB file that stood for a 200 MB attribute value.
  std::string bomb = declarations + "<r><song d=\"";
  for (int i = 0; i < 10000; ++i) bomb += "&a;";
  WriteInput("np.xml", bomb + "\"/></r>");
  Forget();
  EXPECT_EQ(RunPass(), Targets{});
  EXPECT_EQ(Printed(), "Error parsing XML in " + path + "\n");

  WriteInput("np.xml", declarations + "<r><song d=\"&a;\"/></r>");
  EXPECT_EQ(RunPass(), Targets{"/x?d=" + std::string(20000, 'x') + "%7C"});
}

// Task 0 refers to task 1 (later in order), task 2 refers to task 0 (earlier).
const char kLinkedIni[] =
    "[Input0]\nfile=DIR/a.txt\ntext0=line=0\n"
    "[Output0]\nformat0=%text0%\nUrl0=http://127.0.0.1:PORT/zero?a=%format0%&b=%output1:format0%\n"
    "[Input1]\nfile=DIR/b.txt\ntext0=line=0\n"
    "[Output1]\nformat0=%text0%\nUrl0=http://127.0.0.1:PORT/one?b=%format0%\n"
    "[Input2]\nfile=DIR/c.txt\ntext0=line=0\n"
    "[Output2]\nformat0=%text0%\nUrl0=http://127.0.0.1:PORT/two?a=%OUTPUT0:FORMAT0%\n";

TEST_F(TaskCycleTest, DependentsArePushedAgainAfterTheTaskTheyReferTo) {
  WriteInput("a.txt", "A1\n");
  WriteInput("b.txt", "B1\n");
  WriteInput("c.txt", "C1\n");
  LoadTasks(kLinkedIni, 3);

  // First pass: every task is new. Task 2 runs after task 0, so it is served in
  // the same pass; task 0 must wait for the next pass to see task 1's result.
  EXPECT_EQ(RunPass(), (Targets{"/zero?a=A1&b=", "/one?b=B1", "/two?a=A1"}));
  EXPECT_EQ(RunPass(), (Targets{"/zero?a=A1&b=B1", "/two?a=A1"}));
  EXPECT_EQ(RunPass(), Targets{});

  WriteInput("b.txt", "B2\n");
  EXPECT_EQ(RunPass(), Targets{"/one?b=B2"});
  EXPECT_EQ(RunPass(), (Targets{"/zero?a=A1&b=B2", "/two?a=A1"}));
  EXPECT_EQ(RunPass(), Targets{});

  WriteInput("a.txt", "A2\n");
  EXPECT_EQ(RunPass(), (Targets{"/zero?a=A2&b=B2", "/two?a=A2"}));
  EXPECT_EQ(RunPass(), Targets{});
}

TEST_F(TaskCycleTest, ReferencesBindByExactLabelAndFormatPrefix) {
  WriteInput("a.txt", "A\n");
  LoadTasks(
      "[Input0]\nfile=DIR/a.txt\ntext0=line=0\n"
      "[Output0]\nformat1=%text0%1\nformat10=%text0%10\n"
      "Url0=http://127.0.0.1:PORT/r?p=%output0:FORMAT1%&q=%output0:format10%"
      "&x=%output9:format0%&y=%output0:format7%&z=%Output0\n",
      1);
  EXPECT_EQ(RunPass(), Targets{"/r?p=A1&q=A10&x=%output9:format0%&y=%output0:format7%&z=%output0"});
  // A reference to the task itself makes it re-read and push on every pass.
  EXPECT_EQ(RunPass().size(), 1u);
  EXPECT_EQ(RunPass().size(), 1u);
}

TEST_F(TaskCycleTest, HugeUrlTemplatesBindEachTokenOnceAndComposeInFull) {
  LoadTasks(kPushIni, 1);
  CTask& task = *tasks[0];
  task.formatItems[0].strResult = "r&";
  std::string big = "http://h/?";
  std::string expected = big;
  for (int i = 0; i < 5000; ++i) {
    big += "%OUTPUT0:format0%%format0%%output9:x%";
    expected += "r%26r%26%output9:x%";
  }
  big += "%output0:format0";  // unterminated: stays as written
  expected += "%output0:format0";
  task.vecUrls = {big, big};
  task.LinkOutputReferences({{task.strLabel, &task}});
  ASSERT_EQ(task.OutputReferences().size(), 1u);
  EXPECT_EQ(task.OutputReferences()[0].strToken, "%output0:format0%");
  EXPECT_EQ(task.Dependents(), std::set<CTask*>{&task});
  EXPECT_EQ(ComposeTaskUrl(task, task.vecUrls[1]), expected);
}

TEST_F(TaskCycleTest, PushTaskWithSelfReferenceOnlyPushesForTexts) {
  LoadTasks(
      "[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%text0%\n"
      "Url0=http://127.0.0.1:PORT/s?v=%output0:format0%\n",
      1);
  tasks[0]->ReceivePush("v");
  EXPECT_EQ(RunPass(), Targets{"/s?v=v"});
  EXPECT_EQ(RunPass(), Targets{});
}

// Retries run inside the passes, on the real clock: over 3.5 s of passes a
// refused URL is tried at about 0 s, 1 s and 3 s (a fixed 1 s wait would give
// four tries), while an error answer and an unusable URL are tried once, and a
// task with retries off tries everything once.
TEST_F(TaskCycleTest, OnlyUnansweredUrlsAreRetriedAndTheirWaitDoubles) {
  CHttpReceiver down;
  ASSERT_TRUE(down.Reserve());
  const std::string refused = "http://127.0.0.1:" + std::to_string(down.Port()) + "/down";
  auto section = [&refused](int n) {
    const std::string i = std::to_string(n);
    return "[Input" + i + "]\ntype=push\ntext0=line=0\n[Output" + i + "]\nformat0=%text0%\n" +
           "Url0=" + refused + i + "?v=%format0%\nUrl1=http://127.0.0.1:PORT/missing" + i +
           "\nUrl2=nosuch://127.0.0.1/x" + i + "\n";
  };
  LoadTasks(section(0) + section(1), 2, 1);
  receiver.SetStatus(404);
  for (auto& task : tasks) task->ReceivePush("x");

  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3500);
  while (std::chrono::steady_clock::now() < end) {
    RunPass();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const std::string printed = Printed();
  auto tries = [&printed](const std::string& url) {
    const std::string line = "\nFetching URL: " + url + "...ERROR\n";
    size_t count = 0;
    for (size_t at = printed.find(line); at != std::string::npos; at = printed.find(line, at + 1)) {
      ++count;
    }
    return count;
  };
  EXPECT_GE(tries(refused + "0?v=x"), 2u) << printed;
  EXPECT_LE(tries(refused + "0?v=x"), 3u) << printed;
  EXPECT_EQ(tries(refused + "1?v=x"), 1u) << printed;
  for (const char* n : {"0", "1"}) {
    EXPECT_EQ(tries(Url("/missing") + n), 1u) << printed;
    EXPECT_EQ(tries(std::string("nosuch://127.0.0.1/x") + n), 1u) << printed;
  }
  EXPECT_EQ(receiver.Targets(), (Targets{"/missing0", "/missing1"}));
}

}  // namespace

// Real titles as "title|what a Latin-1 target gets;", both written as UTF-8; an
// empty second half means the title with its " – " sent as " - ".
constexpr const char* kTitleTable =
    "Beyoncé – Halo|;Motörhead – Ace of Spades|;Sigur Rós – Hoppípolla|;"
    "Antonín Dvořák – Largo|Antonín Dvorák - Largo;"
    "Céline Dion – Pour que tu m’aimes encore|Céline Dion - Pour que tu m'aimes encore;"
    "Zoë Keating – Optimist|;Björk – Jóga|;Mötley Crüe – Kickstart|;"
    "Édith Piaf – Non, je ne regrette rien|;Françoise Hardy – Tous les garçons|;"
    "Die Ärzte – Schrei nach Liebe|;Herbert Grönemeyer – Männer|;Café del Mar – Ibiza|;"
    "Joaquín Sabina – 19 días y 500 noches|;Rosalía – Malamente|;"
    "Amália Rodrigues – Estranha Forma|;Caetano Veloso – Coração|;Røyksopp – Eple|;"
    "Kovács Kati – Add már, Uram, az esőt|Kovács Kati - Add már, Uram, az esot;"
    "Czesław Niemen – Dziwny jest ten świat|Czeslaw Niemen - Dziwny jest ten swiat;"
    "Maanam – Kocham Cię|Maanam - Kocham Cie;Karel Gott – Být stále mlád|;"
    "Lucie Bílá – Láska je láska|;"
    "Hana Zagorová – Maľovaná láska|Hana Zagorová - Malovaná láska;"
    "Željko Joksimović – Lane moje|Zeljko Joksimovic - Lane moje;"
    "Severina – Moja štikla|Severina - Moja stikla;"
    "Zdravko Čolić – Ti si mi u krvi|Zdravko Colic - Ti si mi u krvi;"
    "Đorđe Balašević – Ćaletova pesma|Dorde Balasevic - Caletova pesma;"
    "Zorán – Kell ott fenn egy ország|;Omega – Gyöngyhajú lány|;Neoton Família – Vándorének|;"
    "Queen – “Bohemian Rhapsody”|Queen - \"Bohemian Rhapsody\";"
    "ABBA – ‘Dancing Queen’|ABBA - 'Dancing Queen';"
    "Guns N’ Roses – Sweet Child o’ Mine|Guns N' Roses - Sweet Child o' Mine;"
    "The Beatles — Let It Be|The Beatles - Let It Be;Prince – 1999…|Prince - 1999...;"
    "Daft Punk – One More Time 🎵|Daft Punk - One More Time ?;"
    "Coldplay – Fix You ❤|Coldplay - Fix You ?;"
    "Ed Sheeran – Shape of You 😀|Ed Sheeran - Shape of You ?;"
    "Joe Dassin – «Les Champs-Élysées»|;"
    "Jacques Brel – Ne me quitte pas • Live|Jacques Brel - Ne me quitte pas ? Live;"
    "Mylène Farmer – Désenchantée|;Stromae – Papaoutai ½ Remix|;"
    "Les Chœurs de l’Armée Rouge – Kalinka|Les Choeurs de l'Armée Rouge - Kalinka;"
    "Eurovision € Hits|Eurovision ? Hits;Pál Utcai Fiúk – Ha az életben|;"
    "Łzy – Agnieszka|Lzy - Agnieszka;AC/DC – Back in Black|;Tom & Jerry: 100% \"Live\"|;"
    "Ÿ Šáňa – Ženy|Y Sána - Zeny;"
    "Sinéad O’Connor – Nothing Compares 2 U|Sinéad O'Connor - Nothing Compares 2 U;";

struct TitleCase {
  std::string strUtf8;
  std::string strLatin1;
};

std::vector<TitleCase> Titles() {
  std::vector<TitleCase> titles;
  for (const std::string& row : SplitList(kTitleTable, ';', false, false)) {
    const size_t bar = row.find('|');
    TitleCase title{row.substr(0, bar), row.substr(bar + 1)};
    if (title.strLatin1.empty()) {
      title.strLatin1 = title.strUtf8;
      ReplaceAll(title.strLatin1, " \u2013 ", " - ");
    }
    titles.push_back(title);
  }
  return titles;
}

std::vector<uint32_t> CodePoints(std::string_view utf8) {
  std::vector<uint32_t> points;
  for (size_t at = 0; at < utf8.size();) {
    const unsigned char lead = static_cast<unsigned char>(utf8[at]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t point = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k) point = (point << 6) | (utf8[at + k] & 0x3F);
    points.push_back(point);
    at += length;
  }
  return points;
}

// The Windows-1252 bytes of a title, or "" when the set lacks one of its characters.
std::string InWindows1252(std::string_view utf8) {
  static const std::map<uint32_t, char> upper = {
      {0x20AC, '\x80'}, {0x2026, '\x85'}, {0x0160, '\x8A'}, {0x0152, '\x8C'},
      {0x017D, '\x8E'}, {0x2018, '\x91'}, {0x2019, '\x92'}, {0x201C, '\x93'},
      {0x201D, '\x94'}, {0x2022, '\x95'}, {0x2013, '\x96'}, {0x2014, '\x97'},
      {0x0161, '\x9A'}, {0x0153, '\x9C'}, {0x017E, '\x9E'}, {0x0178, '\x9F'}};
  std::string bytes;
  for (const uint32_t point : CodePoints(utf8)) {
    if (point < 0x80 || (point >= 0xA0 && point <= 0xFF)) {
      bytes += static_cast<char>(point);
    } else if (upper.count(point) != 0) {
      bytes += upper.at(point);
    } else {
      return "";
    }
  }
  return bytes;
}

std::string Utf16Le(std::string_view utf8) {
  std::string bytes = "\xFF\xFE";
  auto unit = [&bytes](uint32_t u) {
    bytes += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  };
  for (const uint32_t point : CodePoints(utf8)) {
    if (point < 0x10000) {
      unit(point);
    } else {
      unit(0xD800 + ((point - 0x10000) >> 10));
      unit(0xDC00 + ((point - 0x10000) & 0x3FF));
    }
  }
  return bytes;
}

// An ISO-8859-1 document: Latin-1 characters as bytes, the others as references.
std::string XmlLatin1(std::string_view utf8) {
  std::string bytes;
  for (const uint32_t point : CodePoints(utf8)) {
    bytes += point < 0x100 ? std::string(1, static_cast<char>(point))
                           : "&#" + std::to_string(point) + ";";
  }
  return bytes;
}

// Every title through every input form to an output with each charset: one task
// per pair, all titles in one input, one request each.
TEST_F(TaskCycleTest, TitlesArriveInTheSetEachOutputNames) {
  const std::vector<TitleCase> kTitles = Titles();
  const size_t count = kTitles.size();
  ASSERT_EQ(count, 51u);
  std::string windows1252;
  std::string utf8;
  std::string xml;
  std::string url = "Url0=http://127.0.0.1:PORT/t?";
  std::string keywords;
  for (size_t i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    windows1252 += InWindows1252(kTitles[i].strUtf8) + "\n";
    utf8 += std::string(kTitles[i].strUtf8) + "\n";
    std::string escaped = kTitles[i].strUtf8;
    ReplaceAll(escaped, "&", "&amp;");
    xml += "<t" + n + ">" + escaped + "</t" + n + ">";
    keywords += "text" + n + "=line=" + n + "\n";
    url += (i > 0 ? "&" : "") + n + "=%format" + n + "%";
  }
  WriteInput("cp1252.txt", windows1252);
  WriteInput("utf8.txt", utf8);
  WriteInput("bom.txt", "\xEF\xBB\xBF" + utf8);
  WriteInput("utf16.txt", Utf16Le(utf8));
  WriteInput("utf8.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>" + xml + "</r>");
  WriteInput("latin1.xml",
             "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>" + XmlLatin1(xml) + "</r>");
  const std::vector<std::string> forms = {"cp1252.txt", "utf8.txt", "bom.txt",
                                          "utf16.txt",  "utf8.xml", "latin1.xml"};
  const std::vector<std::string> outputs = {"", "charset=utf-8\n", "charset=iso-8859-1\n"};
  std::string ini;
  for (size_t task = 0; task < forms.size() * outputs.size(); ++task) {
    const std::string& form = forms[task / outputs.size()];
    const bool isXml = form.find(".xml") != std::string::npos;
    std::string taskFormats;
    for (size_t i = 0; i < count; ++i) {
      const std::string n = std::to_string(i);
      taskFormats += "format" + n + "=%" + (isXml ? "xml_t" : "text") + n + "%\n";
    }
    const std::string pair = std::to_string(task);
    ini += "[Input" + pair + "]\nfile=DIR/" + form + "\n" + (isXml ? "type=xml\n" : keywords) +
           "[Output" + pair + "]\n" + outputs[task % outputs.size()] + taskFormats + url + "\n";
  }
  LoadTasks(ini, static_cast<int>(forms.size() * outputs.size()));
  const Targets sent = RunPass();
  ASSERT_EQ(sent.size(), forms.size() * outputs.size());
  for (size_t task = 0; task < sent.size(); ++task) {
    const bool from1252 = task < outputs.size();
    const size_t output = task % outputs.size();
    std::string expected = "/t?";
    for (size_t i = 0; i < count; ++i) {
      const std::string title = kTitles[i].strUtf8;
      std::string bytes = title;
      if (from1252 && InWindows1252(title).empty()) {
        bytes.clear();  // the set lacks the title: its line was left empty
      } else if (output == 2) {
        bytes.clear();
        for (const uint32_t point : CodePoints(kTitles[i].strLatin1))
          bytes += static_cast<char>(point);
      } else if (from1252 && output == 0) {
        bytes = InWindows1252(title);  // no charset: the bytes as they came
      }
      expected += (i > 0 ? "&" : "") + std::to_string(i) + "=" + UrlEncode(bytes);
    }
    EXPECT_EQ(sent[task], expected) << forms[task / outputs.size()] << " " << outputs[output];
  }
}
