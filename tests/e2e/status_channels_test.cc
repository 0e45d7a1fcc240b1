// The running program's status channels under hostile conditions: standard
// output that nobody reads, pushed control bytes.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "e2e/e2e_support.h"

namespace {

class StatusChannelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.Ok());
    ASSERT_TRUE(receiver.Start());
  }

  // One push task whose value goes to the receiver.
  void LaunchPushTask(const std::string& global = "") {
    const std::string config = global +
                               "[Input0]\ntype=push\ntext0=line=0\n[Output0]\n"
                               "format0=%text0%\nUrl0=" +
                               receiver.BaseUrl() + "/p?v=%format0%\n";
    ASSERT_TRUE(WriteFileWhole(folder.PathOf("q.ini"), config));
    program = std::make_unique<CProgram>(folder.Path(), folder.PathOf("q.ini"));
    ASSERT_TRUE(program->Started());
    ASSERT_NE(program->WaitFor("\nRunning Indefinitely.\n\n", kProgramStartMs), std::string::npos)
        << program->Output();
    nHttpPort = program->HttpPort();
  }

  bool Push(const std::string& query) {
    return HttpGet(nHttpPort, "/input0?" + query).find("query received") != std::string::npos;
  }

  CTempDir folder{"qr_e2e"};
  CReceiver receiver;
  std::unique_ptr<CProgram> program;
  int nHttpPort = 0;
};

// Standard output a pipe that nobody reads: pushes are still answered and sent,
// the page and the feed go on, the texts that did not fit are counted in one
// line once output moves again, and a stop ends the program while the pipe is
// full.
TEST_F(StatusChannelsTest, StdoutThatNobodyReadsHoldsUpNothing) {
  LaunchPushTask();
  ASSERT_NE(nHttpPort, 0);
  program->PauseReading();

  // About 400 KB of status texts at once: far more than the pipe and the
  // program's own output queue hold.
  constexpr int kPushes = 400;
  const std::string filler(990, 'v');
  for (int i = 0; i < kPushes; ++i) {
    ASSERT_TRUE(Push("set=p" + std::to_string(i) + "-" + filler)) << "push " << i;
  }
  ASSERT_TRUE(Push("set=last"));
  CLoopbackClient feed(program->ConsolePort());
  ASSERT_TRUE(feed.Connected());
  EXPECT_TRUE(feed.WaitForText("HTTP push /input0: last\n\r", kProgramEffect));
  EXPECT_NE(HttpGet(nHttpPort, "/").find("HTTP push /input0: last\n"), std::string::npos);
  EXPECT_TRUE(receiver.WaitForTarget("/p?v=p0-" + filler, kProgramEffectMs));
  EXPECT_TRUE(receiver.WaitForTarget("/p?v=p1-" + filler, kProgramEffectMs));

  program->ResumeReading();
  EXPECT_NE(program->WaitFor("\n*** Standard output was blocked: ", kProgramEffectMs),
            std::string::npos);
  EXPECT_NE(program->Find(" texts dropped\n"), std::string::npos);

  // The queued pushes keep the program printing: the pipe fills up again. A
  // Linux pipe takes 64 KB before the writer blocks; under Wine the writer blocks
  // far earlier, so there the output only has to stop growing.
  program->PauseReading();
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  size_t unread = 0;
  auto steadySince = std::chrono::steady_clock::now();
  while (program->UnreadBytes() < 60000 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (program->UnreadBytes() != unread) {
      unread = program->UnreadBytes();
      steadySince = std::chrono::steady_clock::now();
    }
    const bool stalled = std::chrono::steady_clock::now() - steadySince > std::chrono::seconds(1);
    if (kUnderWine && unread > 0 && stalled) break;
  }
  if (!kUnderWine) {
    ASSERT_GE(program->UnreadBytes(), 60000u) << "the pipe did not fill";
  }
  // Wine passes no signal on to the Windows program; there the key stops it.
  if (kUnderWine) {
    program->SendEscape();
  } else {
    program->Signal(SIGTERM);
  }
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0);
}

// A pushed text with terminal controls and line ends: every channel shows the
// line ends as "[CR]", so no forged status line starts; the console, the feed
// and /tasks show the other controls as caret escapes, bytes from 0x80 up pass,
// the status page keeps them as they were pushed.
TEST_F(StatusChannelsTest, PushedControlBytesAreShownNotObeyed) {
  LaunchPushTask();
  ASSERT_NE(nHttpPort, 0);
  CLoopbackClient feed(program->ConsolePort());
  ASSERT_TRUE(feed.Connected());
  ASSERT_TRUE(
      Push("set=%1b%5b2J%1b%5d0;PWNED%07%0d%0a2026-12-08+12:00:00:+TASK+9+(fake)+caf%c3%a9%7f"
           "%0aFetching+URL:+http://forged.example/...OK%0a%0d"));

  const std::string line =
      "HTTP push /input0: ^[[2J^[]0;PWNED^G[CR]2026-12-08 12:00:00: "
      "TASK 9 (fake) caf\xc3\xa9^?[CR]Fetching URL: http://forged.example/...OK[CR]";
  EXPECT_NE(program->WaitFor(line + "\n", kProgramEffectMs), std::string::npos)
      << program->Output();
  EXPECT_TRUE(feed.WaitForText(line + "\n\r", kProgramEffect)) << feed.Received();
  EXPECT_NE(HttpGet(nHttpPort, "/")
                .find("HTTP push /input0: \x1b[2J\x1b]0;PWNED\x07[CR]2026-12-08 "
                      "12:00:00: TASK 9 (fake) caf\xc3\xa9\x7f[CR]Fetching URL: "
                      "http://forged.example/...OK[CR]\n"),
            std::string::npos);
  EXPECT_NE(program->WaitFor("OK[CR]...OK\n", kProgramEffectMs), std::string::npos);
  const std::string tasks = HttpGet(nHttpPort, "/tasks");
  EXPECT_NE(tasks.find("^[[2J^[]0;PWNED^G[CR]2026-12-08 12:00:00: TASK 9 (fake) caf\xc3\xa9^?[CR]"),
            std::string::npos)
      << tasks;
  EXPECT_EQ(tasks.find_first_of("\x1b\x07\x7f"), std::string::npos);
  program->SendEscape();
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0);
  EXPECT_EQ(program->Output().find('\x1b'), std::string::npos);
  EXPECT_EQ(feed.Received().find('\x1b'), std::string::npos);
  EXPECT_EQ(program->Output().find("\nFetching URL: http://forged"), std::string::npos);
}

// The [global] keys narrow both channels: on the loopback address with an access
// list, the page, pushes and the feed answer on 127.0.0.1 and nothing answers on
// 127.0.0.2.
TEST_F(StatusChannelsTest, GlobalKeysNarrowTheStatusChannels) {
  LaunchPushTask(
      "[global]\nstatus_listen_address=127.0.0.1\n"
      "status_access_list=-0.0.0.0/0,+127.0.0.1\n");
  ASSERT_NE(nHttpPort, 0);
  const int consolePort = program->ConsolePort();
  ASSERT_NE(consolePort, 0);
  EXPECT_TRUE(Push("set=local"));
  EXPECT_TRUE(receiver.WaitForTarget("/p?v=local", kProgramEffectMs));
  EXPECT_FALSE(ConnectsTo("127.0.0.2", nHttpPort));
  EXPECT_FALSE(ConnectsTo("127.0.0.2", consolePort));
  program->SendEscape();
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0);
}

// Unusable keys are reported once, after the banner: a mistyped address keeps
// the channels on the loopback address only, a broken access list keeps the
// status server from starting.
TEST_F(StatusChannelsTest, UnusableGlobalKeysAreReported) {
  LaunchPushTask("[global]\nstatus_listen_address=my-host\nstatus_access_list=+nonsense\n");
  const std::string output = program->Output();
  const size_t banner = output.find("\nQuillrade 0.59 by Hollend\n");
  const size_t problem = output.find(
      "status_listen_address=my-host is not an IPv4 address: status channels on 127.0.0.1 only\n"
      "HTTP status server not started: ");
  EXPECT_NE(banner, std::string::npos);
  EXPECT_NE(problem, std::string::npos) << output;
  EXPECT_LT(banner, problem);
  EXPECT_EQ(nHttpPort, 0);
  const int consolePort = program->ConsolePort();
  ASSERT_NE(consolePort, 0);
  EXPECT_TRUE(ConnectsTo("127.0.0.1", consolePort));
  EXPECT_FALSE(ConnectsTo("127.0.0.2", consolePort));
  program->SendEscape();
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0);
}

}  // namespace
