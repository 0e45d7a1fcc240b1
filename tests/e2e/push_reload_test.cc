// Pushes accepted by the running program across configuration reloads: what is
// still queued at a reload goes to the push input with the same path, in order;
// under a storm of reloads every push answered 200 is sent; texts whose path is
// gone, and texts still queued at a stop, are reported dropped with their count.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"

namespace {

// Bound per queued text: pushed texts leave one per pass of about 100 ms.
constexpr int kPerPushMs = 300;

using Clock = std::chrono::steady_clock;

bool Accepted(const std::string& answer) { return answer.rfind("HTTP/1.1 200 ", 0) == 0; }

class PushReloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.Ok());
    ASSERT_TRUE(receiver.Start());
  }

  std::string Config() const { return folder.PathOf("q.ini"); }

  // A push input per header in `headers` ("Input1"), sending to /<n>?p= where n
  // is the section's number.
  std::string PushInputs(const std::vector<std::string>& headers) const {
    std::string ini;
    for (const std::string& header : headers) {
      const std::string number = header.substr(5);
      ini += "[" + header + "]\ntype=push\ntext0=line=0\n[Output" + number +
             "]\nformat0=%text0%\nUrl0=" + receiver.BaseUrl() + "/" + number + "?p=%format0%\n";
    }
    return ini;
  }

  void Launch(const std::string& config) {
    ASSERT_TRUE(WriteFileWhole(Config(), config));
    program = std::make_unique<CProgram>(folder.Path(), Config());
    ASSERT_TRUE(program->Started());
    ASSERT_NE(program->WaitFor("\nRunning Indefinitely.\n\n", kProgramStartMs), std::string::npos)
        << program->Output();
    httpPort = program->HttpPort();
    ASSERT_NE(httpPort, 0);
  }

  bool Push(const std::string& input, const std::string& text) const {
    return Accepted(HttpGet(httpPort, "/" + input + "?set=" + text));
  }

  // Pushes <prefix>0 .. <prefix><count - 1> to /input<number>. The receiver
  // holds the first one's request, so the others stay queued behind it until
  // the test ends the hold.
  void PushBehindAHeldRequest(const std::string& number, const std::string& prefix, int count) {
    receiver.SetHolding(true);
    ASSERT_TRUE(Push("input" + number, prefix + "0"));
    ASSERT_TRUE(receiver.WaitForTarget("/" + number + "?p=" + prefix + "0", kProgramEffectMs))
        << program->Output();
    for (int i = 1; i < count; ++i) ASSERT_TRUE(Push("input" + number, prefix + std::to_string(i)));
  }

  // The texts the receiver got on /<number>?p=, in arrival order.
  std::vector<std::string> Received(const std::string& number) const {
    const std::string prefix = "/" + number + "?p=";
    std::vector<std::string> texts;
    for (const std::string& target : receiver.Targets()) {
      if (target.rfind(prefix, 0) == 0) texts.push_back(target.substr(prefix.size()));
    }
    return texts;
  }

  // The count of a "queued texts dropped" line for `path` after `from`; -1 when
  // there is none.
  int DroppedCount(const std::string& path, const std::string& reason, size_t from = 0) const {
    const std::string output = program->Output();
    const std::string head = "HTTP push " + path + ": ";
    for (size_t at = output.find(head, from); at != std::string::npos;
         at = output.find(head, at + 1)) {
      const size_t count = at + head.size();
      const size_t rest = output.find(" dropped, " + reason + "\n", count);
      const size_t lineEnd = output.find('\n', count);
      if (rest != std::string::npos && rest < lineEnd) return std::atoi(output.c_str() + count);
    }
    return -1;
  }

  // Waits until the reload that follows `from` has finished; the offset after it.
  size_t WaitForReload(size_t from) const {
    const size_t detected =
        program->WaitFor("\n*** Config file update detected!\n", kProgramEffectMs, from);
    if (detected == std::string::npos) return detected;
    return program->WaitFor("\nRunning Indefinitely.\n\n", kProgramStartMs, detected);
  }

  CTempDir folder{"qr_e2e"};
  CReceiver receiver;
  std::unique_ptr<CProgram> program;
  int httpPort = 0;
};

TEST_F(PushReloadTest, QueuedPushesGoToTheNewTaskInOrder) {
  Launch(PushInputs({"Input1"}));
  constexpr int kPushes = 20;
  ASSERT_NO_FATAL_FAILURE(PushBehindAHeldRequest("1", "q", kPushes));
  std::vector<std::string> sent;
  for (int i = 0; i < kPushes; ++i) sent.push_back("q" + std::to_string(i));
  const size_t reloadFrom = program->Output().size();
  ASSERT_TRUE(TouchFile(Config()));
  receiver.SetHolding(false);
  const size_t reloaded = WaitForReload(reloadFrom);
  ASSERT_NE(reloaded, std::string::npos) << program->Output();

  ASSERT_TRUE(receiver.WaitForTarget("/1?p=" + sent.back(), kPushes * kPerPushMs))
      << program->Output();
  EXPECT_EQ(Received("1"), sent);
  // Those still queued at the reload left from the new task (the old one may
  // have sent one or two while the file change was being noticed). The
  // receiver can see the last request before its line reaches our pipe reader.
  EXPECT_NE(program->WaitFor("format0: " + sent.back() + "\n", kProgramEffectMs, reloaded),
            std::string::npos)
      << program->Output();
  EXPECT_EQ(program->Find("dropped"), std::string::npos) << program->Output();

  program->SendEscape();
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0) << program->Output();
}

// Pushes keep coming while the configuration is rewritten again and again: a
// push is either answered 200 and sent once, in order, or refused.
TEST_F(PushReloadTest, ReloadStormLosesNoAcceptedPush) {
  Launch(PushInputs({"Input1"}));
  constexpr auto kStorm = std::chrono::milliseconds(2000);
  constexpr auto kPushEvery = std::chrono::milliseconds(70);
  constexpr auto kRewriteEvery = std::chrono::milliseconds(230);

  std::vector<std::string> accepted;
  int refused = 0;
  std::atomic<bool> storming{true};
  std::thread pusher([&] {
    for (int i = 0; storming.load(); ++i) {
      const std::string text = "s" + std::to_string(i);
      if (Push("input1", text)) {
        accepted.push_back(text);
      } else {
        ++refused;
      }
      std::this_thread::sleep_for(kPushEvery);
    }
  });
  const auto stormEnd = Clock::now() + kStorm;
  for (int i = 0; Clock::now() < stormEnd; ++i) {
    // The header's spelling changes; the push path stays /input1.
    EXPECT_TRUE(WriteFileWhole(Config(), PushInputs({i % 2 == 0 ? "INPUT1" : "Input1"}) +
                                             "; rewrite " + std::to_string(i) + "\n"));
    std::this_thread::sleep_for(kRewriteEvery);
  }
  storming = false;
  pusher.join();
  ASSERT_FALSE(accepted.empty());
  EXPECT_GE(program->Count("*** Config file update detected!"), 2u) << program->Output();

  const int waitMs = static_cast<int>(accepted.size()) * kPerPushMs + kProgramStartMs;
  EXPECT_TRUE(receiver.WaitForTarget("/1?p=" + accepted.back(), waitMs)) << program->Output();
  EXPECT_EQ(Received("1"), accepted) << refused << " refused";
  EXPECT_EQ(program->Find("dropped"), std::string::npos) << program->Output();

  program->SendEscape();
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0) << program->Output();
}

// Every accepted push is sent or counted in a "dropped" line: when its path is
// gone after a reload, and when the program stops before sending it.
TEST_F(PushReloadTest, TextsThatCannotBeSentAreCountedDropped) {
  Launch(PushInputs({"Input1", "Input2"}));
  // The path goes while texts wait behind a request in flight.
  constexpr int kPushes = 8;
  ASSERT_NO_FATAL_FAILURE(PushBehindAHeldRequest("1", "r", kPushes));
  const size_t reloadFrom = program->Output().size();
  ASSERT_TRUE(WriteFileWhole(Config(), PushInputs({"Input2"})));
  receiver.SetHolding(false);
  ASSERT_NE(WaitForReload(reloadFrom), std::string::npos) << program->Output();
  EXPECT_EQ(DroppedCount("/input1", "no push input has this path after the reload", reloadFrom),
            kPushes - 1)
      << program->Output();
  EXPECT_EQ(Received("1"), std::vector<std::string>{"r0"});
  EXPECT_FALSE(Push("input1", "late"));

  // At a stop, what waits behind a request in flight is reported.
  constexpr int kLastPushes = 4;
  ASSERT_NO_FATAL_FAILURE(PushBehindAHeldRequest("2", "t", kLastPushes));
  program->SendEscape();
  EXPECT_NE(program->WaitFor("Exiting.\n", kProgramEffectMs), std::string::npos);
  receiver.SetHolding(false);
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0) << program->Output();
  // The stop ends the request in flight too, so every text is unanswered.
  EXPECT_EQ(DroppedCount("/input2", "the service is stopping"), kLastPushes) << program->Output();
}

}  // namespace
