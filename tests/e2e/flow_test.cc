// The running program with real files, a real receiver and real clients: what it
// prints at start, how changes of inputs reach the receiver (also after an outage
// of the receiver), and what the status page and the TCP console show.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"

namespace {

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.Ok());
    ASSERT_TRUE(receiver.Start());
  }

  std::string Url(const std::string& rest) const { return receiver.BaseUrl() + rest; }

  // Starts the program on `config` and waits for its running state.
  void Launch(const std::string& config) {
    ASSERT_TRUE(WriteFileWhole(folder.PathOf("q.ini"), config));
    program = std::make_unique<CProgram>(folder.Path(), folder.PathOf("q.ini"));
    ASSERT_TRUE(program->Started());
    ASSERT_NE(program->WaitFor("\nRunning Indefinitely.\n\n", kProgramStartMs), std::string::npos)
        << program->Output();
  }

  void Stop() {
    program->SendEscape();
    EXPECT_EQ(program->WaitExit(kProgramExitMs), 0) << program->Output();
    EXPECT_NE(program->Find("Exiting.\n"), std::string::npos);
  }

  CTempDir folder{"qr_e2e"};
  CReceiver receiver;
  std::unique_ptr<CProgram> program;
};

TEST_F(FlowTest, StartUpTextsConsoleAndStatusPage) {
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("a.txt"), "first\n"));
  Launch(
      "[global]\nhttp_timeout_seconds=3\n"
      "[Input4]\nfile=a.txt\ntext0=line=0\n[Output4]\nformat0=%text0%\nUrl0=" +
      Url("/a?v=%format0%") +
      "\n[Input9]\ntype=push\ntext0=line=0\n[Output9]\nformat0=%text0%\nUrl0=" +
      Url("/p?v=%format0%") + "\n");
  const int httpPort = program->HttpPort();
  const int consolePort = program->ConsolePort();
  ASSERT_GE(httpPort, 7370);
  ASSERT_LE(httpPort, 7379);
  ASSERT_GE(consolePort, 32700);
  ASSERT_LE(consolePort, 32799);

  // The start-up texts in their order; task indices are dense whatever the
  // section numbers, and the push input announces the real port.
  const std::string config = folder.PathOf("q.ini");
  const std::vector<std::string> inOrder = {
      "\nQuillrade 0.59 by Hollend\n",
      "\nReading config file: \"" + config + "\"\n",
      "Initializing...\n",
      "--------------- TASK 0 ----------------\n",
      "Input File: ",
      "--------------- TASK 1 ----------------\n",
      "Input is HTTP server http://127.0.0.1:" + std::to_string(httpPort) + "/input9?set=data\n",
      "\nReal-time status information available at:\n\n",
      " * http://127.0.0.1:" + std::to_string(httpPort) + "\n",
      " * telnet://127.0.0.1:" + std::to_string(consolePort) + "\n",
      "\nRunning Indefinitely.\n\n",
  };
  size_t at = 0;
  for (const std::string& text : inOrder) {
    at = program->Find(text, at);
    ASSERT_NE(at, std::string::npos) << "missing or out of order: " << text << "\n"
                                     << program->Output();
  }
  EXPECT_EQ(program->Count("--------------- TASK "), 2u);
  ASSERT_TRUE(receiver.WaitForTarget("/a?v=first", kProgramEffectMs));

  // A console client first gets the greeting and the back buffer, with every
  // line feed sent as LF CR.
  CLoopbackClient client(consolePort);
  ASSERT_TRUE(client.Connected());
  const std::string separator(79, '-');
  ASSERT_TRUE(client.WaitForText("Running Indefinitely.\n\r", kProgramEffect)) << client.Received();
  const std::string& greeting = client.Received();
  EXPECT_EQ(greeting.rfind(separator + "\n\r", 0), 0u) << greeting;
  EXPECT_NE(greeting.find("TcpConsole (" + std::to_string(consolePort) + "): Quillrade\n\r" +
                          separator + "\n\r"),
            std::string::npos)
      << greeting;
  EXPECT_NE(greeting.find("\n\rQuillrade 0.59 by Hollend\n\r"), std::string::npos);
  // No bare line feed and no carriage return other than the one after each LF.
  std::string unpaired = greeting;
  for (size_t at = unpaired.find("\n\r"); at != std::string::npos; at = unpaired.find("\n\r", at)) {
    unpaired.erase(at, 2);
  }
  EXPECT_EQ(unpaired.find_first_of("\r\n"), std::string::npos) << greeting;

  // A push reaches the task, the receiver, and the live console client.
  const std::string answer = HttpGet(httpPort, "/INPUT9?set=Hello+World%26Co");
  EXPECT_NE(answer.find("HTTP/1.1 200 OK\r\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("/input9 query received:<br>\nset=Hello+World%26Co<br>"), std::string::npos)
      << answer;
  EXPECT_TRUE(receiver.WaitForTarget("/p?v=Hello%20World%26Co", kProgramEffectMs))
      << program->Output();
  EXPECT_TRUE(client.WaitForText("HTTP push /input9: Hello World&Co\n\r", kProgramEffect))
      << client.Received();
  EXPECT_TRUE(client.WaitForText("/p?v=Hello World&Co...OK\n\r", kProgramEffect))
      << client.Received();

  // The status page shows the configuration file and the recent lines.
  const std::string page = HttpGet(httpPort, "/?x=1");
  EXPECT_NE(page.find("HTTP/1.1 200 OK\r\n"), std::string::npos) << page;
  EXPECT_NE(page.find("Quillrade Service HTTP server by Hollend<BR>Version 0.59<BR><BR>\n"),
            std::string::npos);
  EXPECT_NE(page.find("Config file: " + config + "<BR><BR>\n"), std::string::npos);
  // Pushed texts are shown as text, not as markup.
  EXPECT_NE(page.find("HTTP push /input9: Hello World&amp;Co"), std::string::npos) << page;
  EXPECT_NE(page.find("Running Indefinitely."), std::string::npos);
  // An unregistered path is not a push and not the page.
  EXPECT_EQ(HttpGet(httpPort, "/input4?set=x").find("query received"), std::string::npos);

  Stop();
}

TEST_F(FlowTest, InputChangesReachTheReceiver) {
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("a.txt"), "first\n"));
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("s.txt"), "station\n"));
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("b.xml"),
                             "<now><song duration=\"61\"><title>Old</title></song></now>"));
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("c.txt"),
                             "\xEF\xBB\xBF"
                             "Beyonc\xC3\xA9 \xE2\x80\x93 Halo\n"));
  Launch(
      "[Input0]\nfile=a.txt\ntext0=line=0 trim=1\n"
      "[Output0]\nformat0=%text0%\nUrl0=" +
      Url("/plain?v=%format0%") +
      "\n[Input1]\nfile=b.xml\ntype=xml\n"
      "[Output1]\nformat0=%xml_song:title%|%xmlprop_song:duration%\nUrl0=" +
      Url("/xml?t=%format0%") +
      "\n[Input2]\ntype=push\ntext0=line=0\n"
      "[Output2]\nformat0=%text0%\nUrl0=" +
      Url("/push?p=%format0%") +
      "\n[Input3]\nfile=s.txt\ntext0=line=0\n"
      "[Output3]\nformat0=%text0%\nUrl0=" +
      Url("/ref?own=%format0%&song=%OUTPUT0:FORMAT0%") +
      "\n[Input4]\nfile=c.txt\ntext0=line=0\n"
      "[Output4]\ncharset=iso-8859-1\nformat0=%text0%\nUrl0=" +
      Url("/cs?v=%format0%&x=%output1:format0%") + "\n");
  const int httpPort = program->HttpPort();
  ASSERT_NE(httpPort, 0);

  // Every file task sends once at start, with the referenced result filled in.
  ASSERT_TRUE(receiver.WaitForTarget("/plain?v=first", kProgramEffectMs)) << program->Output();
  ASSERT_TRUE(receiver.WaitForTarget("/xml?t=Old%7C61", kProgramEffectMs)) << program->Output();
  ASSERT_TRUE(receiver.WaitForTarget("/ref?own=station&song=first", kProgramEffectMs))
      << program->Output();
  // A UTF-8 file with a byte-order mark, sent to a Latin-1 target.
  ASSERT_TRUE(receiver.WaitForTarget("/cs?v=Beyonc%e9%20-%20Halo&x=Old%7C61", kProgramEffectMs))
      << program->Output();

  // A plain text change arrives escaped, and the dependent task follows with it
  // although its own file did not change.
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("a.txt"), "  Rock & Roll = fun? a/b  \nignored\n"));
  const std::string rock = "Rock%20%26%20Roll%20%3D%20fun%3F%20a%2Fb";
  EXPECT_TRUE(receiver.WaitForTarget("/plain?v=" + rock, kProgramEffectMs)) << program->Output();
  EXPECT_TRUE(receiver.WaitForTarget("/ref?own=station&song=" + rock, kProgramEffectMs))
      << program->Output();
  // Standard output is written by its own thread: the line may trail the request.
  EXPECT_NE(program->WaitFor("[output0] format0: Rock & Roll = fun? a/b\n", kProgramEffectMs),
            std::string::npos);

  // An XML change.
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("b.xml"),
                             "<now><song duration=\"7\"><title>New Song</title></song></now>"));
  EXPECT_TRUE(receiver.WaitForTarget("/xml?t=New%20Song%7C7", kProgramEffectMs))
      << program->Output();

  // Touching the file sends the same result again without recomputing it.
  const size_t headers = program->Count("TASK 0 (plain text parsing)");
  const size_t sent = receiver.CountOf("/plain?v=" + rock);
  ASSERT_TRUE(TouchFile(folder.PathOf("a.txt")));
  EXPECT_TRUE(receiver.WaitForTarget("/plain?v=" + rock, kProgramEffectMs, sent + 1))
      << program->Output();
  EXPECT_EQ(program->Count("TASK 0 (plain text parsing)"), headers);

  // A broken XML file is reported and sends nothing. The push after it is the
  // sentinel: requests leave one at a time, so an XML request caused by the
  // broken file would have arrived before the pushed one.
  const size_t xmlSent = receiver.CountPrefix("/xml?");
  const size_t errorFrom = program->Output().size();
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("b.xml"), "<now><song><title>Broken</title></now"));
  EXPECT_NE(program->WaitFor("Error parsing XML in b.xml\n", kProgramEffectMs, errorFrom),
            std::string::npos)
      << program->Output();
  EXPECT_NE(HttpGet(httpPort, "/input2?set=after+the+error").find("query received"),
            std::string::npos);
  EXPECT_TRUE(receiver.WaitForTarget("/push?p=after%20the%20error", kProgramEffectMs))
      << program->Output();
  EXPECT_EQ(receiver.CountPrefix("/xml?"), xmlSent);
  EXPECT_EQ(receiver.CountPrefix("/xml?t=Broken"), 0u);

  // Several quick pushes are each sent, in arrival order.
  for (const char* text : {"one", "two", "three"}) {
    EXPECT_NE(HttpGet(httpPort, std::string("/input2?set=") + text).find("query received"),
              std::string::npos);
  }
  ASSERT_TRUE(receiver.WaitForTarget("/push?p=three", kProgramEffectMs)) << program->Output();
  std::vector<std::string> pushed;
  for (const std::string& target : receiver.Targets()) {
    if (target.rfind("/push?p=", 0) == 0 && target.find("error") == std::string::npos) {
      pushed.push_back(target);
    }
  }
  EXPECT_EQ(pushed, (std::vector<std::string>{"/push?p=one", "/push?p=two", "/push?p=three"}));

  Stop();
}

TEST_F(FlowTest, HostileInputsNeitherBreakRequestsNorStopTheService) {
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("a.txt"), "kept\n"));
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("b.xml"), "<r><t>fine</t></r>"));
  Launch("[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%text0%\nUrl0=" +
         Url("/p?v=%format0%&key=K1") +
         "\n[Input1]\nfile=a.txt\ntext0=line=0\n[Output1]\nformat0=%text0%\nUrl0=" +
         Url("/ref?own=%format0%&pushed=%output0:format0%") +
         "\n[Input2]\nfile=b.xml\ntype=xml\n[Output2]\nformat0=%xml_t%\nUrl0=" +
         Url("/xml?t=%format0%") + "\n");
  const int httpPort = program->HttpPort();
  ASSERT_NE(httpPort, 0);
  ASSERT_TRUE(receiver.WaitForTarget("/ref?own=kept&pushed=", kProgramEffectMs))
      << program->Output();
  ASSERT_TRUE(receiver.WaitForTarget("/xml?t=fine", kProgramEffectMs)) << program->Output();

  // A pushed NUL ends the value; the template's fixed parameters still go out.
  EXPECT_NE(HttpGet(httpPort, "/input0?set=abc%00def").find("query received"), std::string::npos);
  EXPECT_TRUE(receiver.WaitForTarget("/p?v=abc&key=K1", kProgramEffectMs)) << program->Output();

  // A pushed DEL is escaped, in its own request and in the one referring to it.
  EXPECT_NE(HttpGet(httpPort, "/input0?set=x%7Fy").find("query received"), std::string::npos);
  EXPECT_TRUE(receiver.WaitForTarget("/p?v=x%7fy&key=K1", kProgramEffectMs)) << program->Output();
  EXPECT_TRUE(receiver.WaitForTarget("/ref?own=kept&pushed=x%7fy", kProgramEffectMs))
      << program->Output();

  // 56 KB of XML standing for a 200 MB attribute value is refused at once.
  std::string bomb = "<!DOCTYPE r [<!ENTITY a \"" + std::string(20000, 'x') + "\">]><r t=\"";
  for (int i = 0; i < 10000; ++i) bomb += "&a;";
  const size_t from = program->Output().size();
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("b.xml"), bomb + "\"><t>big</t></r>"));
  EXPECT_NE(program->WaitFor("Error parsing XML in b.xml\n", kProgramEffectMs, from),
            std::string::npos)
      << program->Output().substr(from);

  // An input whose reads fail keeps its value and says why; the URLs still go out.
  // The failing read comes from Linux's /proc, which a program under Wine cannot
  // open as a file.
  if (!kUnderWine) {
    std::remove(folder.PathOf("a.txt").c_str());
    ASSERT_EQ(symlink("/proc/self/mem", folder.PathOf("a.txt").c_str()), 0);
    EXPECT_NE(program->WaitFor("Error reading a.txt: Input/output error\n", kProgramEffectMs, from),
              std::string::npos)
        << program->Output().substr(from);
    EXPECT_TRUE(receiver.WaitForTarget("/ref?own=kept&pushed=x%7fy", kProgramEffectMs, 2))
        << program->Output().substr(from);
    // Something that is no file: said once per change, then skipped.
    std::filesystem::remove(folder.PathOf("a.txt"));
    ASSERT_EQ(mkfifo(folder.PathOf("a.txt").c_str(), 0600), 0);
    EXPECT_NE(program->WaitFor("Input a.txt cannot be read: not a regular file (a FIFO, socket or "
                               "device). Skipped until it changes.\n",
                               kProgramEffectMs, from),
              std::string::npos);
    std::filesystem::remove_all(folder.PathOf("a.txt"));
    ASSERT_TRUE(WriteFileWhole(folder.PathOf("a.txt"), "kept\n"));
  }

  // The service goes on.
  EXPECT_NE(HttpGet(httpPort, "/input0?set=after").find("query received"), std::string::npos);
  EXPECT_TRUE(receiver.WaitForTarget("/ref?own=kept&pushed=after", kProgramEffectMs))
      << program->Output().substr(from);
  EXPECT_EQ(receiver.CountPrefix("/xml?"), 1u);
  EXPECT_EQ(receiver.CountPrefix("/ref?own=&"), 0u);
  EXPECT_EQ(program->Count("ERROR\n"), 0u) << program->Output();
  Stop();
}

// A target that refuses connections while the inputs change receives, once it
// is back, the latest value of each task and nothing stale. The changes are
// spaced more than the first retry wait apart, so retries of older values run
// in between.
TEST_F(FlowTest, AfterAnOutageOnlyTheLatestValuesArrive) {
  CReceiver flaky;
  ASSERT_TRUE(flaky.Reserve());
  auto refused = [&](const std::string& target) {
    return program->WaitFor(flaky.BaseUrl() + target + "...ERROR\n", kProgramEffectMs) !=
           std::string::npos;
  };
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("a.txt"), "f0\n"));
  Launch("[Input0]\nfile=a.txt\ntext0=line=0\n[Output0]\nformat0=%text0%\nUrl0=" + flaky.BaseUrl() +
         "/file?v=%format0%\n"
         "[Input1]\ntype=push\ntext0=line=0\n[Output1]\nformat0=%text0%\nUrl0=" +
         flaky.BaseUrl() + "/push?v=%format0%\n");
  ASSERT_TRUE(refused("/file?v=f0")) << program->Output();
  for (const char* value : {"1", "2"}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_TRUE(WriteFileWhole(folder.PathOf("a.txt"), std::string("f") + value + "\n"));
    ASSERT_NE(
        HttpGet(program->HttpPort(), std::string("/input1?set=p") + value).find("query received"),
        std::string::npos);
    ASSERT_TRUE(refused(std::string("/file?v=f") + value)) << program->Output();
    ASSERT_TRUE(refused(std::string("/push?v=p") + value)) << program->Output();
  }
  EXPECT_GE(program->Count(flaky.BaseUrl() + "/file?v=f0...ERROR\n"), 2u) << program->Output();

  ASSERT_TRUE(flaky.Start());
  EXPECT_TRUE(flaky.WaitForTarget("/file?v=f2", kProgramEffectMs)) << program->Output();
  EXPECT_TRUE(flaky.WaitForTarget("/push?v=p2", kProgramEffectMs)) << program->Output();
  // Longer than the first retry wait: a try after the answer would show.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  std::vector<std::string> targets = flaky.Targets();
  std::sort(targets.begin(), targets.end());
  EXPECT_EQ(targets, (std::vector<std::string>{"/file?v=f2", "/push?v=p2"}));
  EXPECT_EQ(program->Count(flaky.BaseUrl() + "/file?v=f2...OK\n"), 1u) << program->Output();
  EXPECT_EQ(program->Count(flaky.BaseUrl() + "/push?v=p2...OK\n"), 1u) << program->Output();

  Stop();
}

}  // namespace
