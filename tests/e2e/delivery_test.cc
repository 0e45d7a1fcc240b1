// Delivery after an outage, with the real program: a target that refuses
// connections while the inputs change receives, once it is back, the latest
// value of each task and nothing stale.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"

namespace {

constexpr int kStartMs = 15000;
constexpr int kEffectMs = 5000;
constexpr int kExitMs = 5000;
// Changes made while the target is down; each is tried once and refused.
constexpr int kChangesDuringOutage = 2;
// Spacing of those changes: longer than the first retry wait, so retries of
// older values run in between.
constexpr int kChangeGapMs = 1200;
// Quiet time after the delivery: longer than the first retry wait, so a retry
// that went on after the answer would show.
constexpr int kQuietMs = 1200;

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder.Path().empty());
    ASSERT_TRUE(receiver.Reserve());
  }

  void Launch(const std::string& config) {
    ASSERT_TRUE(WriteFileWhole(folder.File("q.ini"), config));
    program = std::make_unique<CProgram>(folder.Path(), folder.File("q.ini"));
    ASSERT_TRUE(program->Started());
    ASSERT_NE(program->WaitFor("\nRunning Indefinitely.\n\n", kStartMs), std::string::npos)
        << program->Output();
  }

  // Waits until the program reports a refused try of `target`.
  bool WaitForRefused(const std::string& target) const {
    return program->WaitFor(receiver.BaseUrl() + target + "...ERROR\n", kEffectMs) !=
           std::string::npos;
  }

  CTempFolder folder;
  CReceiver receiver;
  std::unique_ptr<CProgram> program;
};

TEST_F(DeliveryTest, AfterAnOutageOnlyTheLatestValuesArrive) {
  ASSERT_TRUE(WriteFileWhole(folder.File("a.txt"), "f0\n"));
  Launch("[Input0]\nfile=a.txt\ntext0=line=0\n[Output0]\nformat0=%text0%\nUrl0=" +
         receiver.BaseUrl() + "/file?v=%format0%\n"
         "[Input1]\ntype=push\ntext0=line=0\n[Output1]\nformat0=%text0%\nUrl0=" +
         receiver.BaseUrl() + "/push?v=%format0%\n");
  ASSERT_TRUE(WaitForRefused("/file?v=f0")) << program->Output();
  for (int i = 1; i <= kChangesDuringOutage; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kChangeGapMs));
    const std::string value = std::to_string(i);
    ASSERT_TRUE(WriteFileWhole(folder.File("a.txt"), "f" + value + "\n"));
    ASSERT_NE(HttpGet(program->HttpPort(), "/input1?set=p" + value).find("query received"),
              std::string::npos);
    ASSERT_TRUE(WaitForRefused("/file?v=f" + value)) << program->Output();
    ASSERT_TRUE(WaitForRefused("/push?v=p" + value)) << program->Output();
  }
  // The first value was tried again while it was still the latest.
  EXPECT_GE(program->Count(receiver.BaseUrl() + "/file?v=f0...ERROR\n"), 2u) << program->Output();

  ASSERT_TRUE(receiver.Start());
  EXPECT_TRUE(receiver.WaitForTarget("/file?v=f2", kEffectMs)) << program->Output();
  EXPECT_TRUE(receiver.WaitForTarget("/push?v=p2", kEffectMs)) << program->Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  std::vector<std::string> targets = receiver.Targets();
  std::sort(targets.begin(), targets.end());
  EXPECT_EQ(targets, (std::vector<std::string>{"/file?v=f2", "/push?v=p2"}));
  EXPECT_EQ(program->Count(receiver.BaseUrl() + "/file?v=f2...OK\n"), 1u) << program->Output();
  EXPECT_EQ(program->Count(receiver.BaseUrl() + "/push?v=p2...OK\n"), 1u) << program->Output();

  program->SendEscape();
  EXPECT_EQ(program->WaitExit(kExitMs), 0) << program->Output();
}

}  // namespace
