// The running program across configuration rewrites and deletions, taken ports,
// and stop requests while it cannot read its configuration or waits for a silent
// HTTP target.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"

namespace {

// A stop ends the retry pause and any request in flight at once, and the servers
// stop in milliseconds; the bound leaves room for a loaded machine and the
// sanitizers.
constexpr double kPromptStopSeconds = 2.0;

using Clock = std::chrono::steady_clock;

// One way of asking the program to stop.
struct StopCase {
  const char* name;
  void (*request)(CProgram&);
  // A POSIX signal: Wine passes none of them on to a Windows program as a
  // console event, so the runs of quillrade.exe leave these cases out.
  bool bSignal;
};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.Ok());
    ASSERT_TRUE(receiver.Start());
  }

  std::string Config() const { return folder.PathOf("q.ini"); }

  std::string PlainAndPush(const std::string& pushPath) const {
    return "[Input0]\nfile=a.txt\ntext0=line=0\n[Output0]\nformat0=%text0%\nUrl0=" +
           receiver.BaseUrl() +
           "/plain?v=%format0%\n"
           "[Input1]\ntype=push\ntext0=line=0\n[Output1]\nformat0=%text0%\nUrl0=" +
           receiver.BaseUrl() + pushPath + "?p=%format0%\n";
  }

  void Launch(const std::string& config) {
    ASSERT_TRUE(WriteFileWhole(folder.PathOf("a.txt"), "first\n"));
    ASSERT_TRUE(WriteFileWhole(Config(), config));
    program = std::make_unique<CProgram>(folder.Path(), Config());
    ASSERT_TRUE(program->Started());
    ASSERT_NE(program->WaitFor("\nRunning Indefinitely.\n\n", kProgramStartMs), std::string::npos)
        << program->Output();
  }

  CTempDir folder{"qr_e2e"};
  CReceiver receiver;
  std::unique_ptr<CProgram> program;
};

TEST_F(LifecycleTest, ConfigurationRewriteRebuildsTasksAndKeepsQueuedPushes) {
  Launch(PlainAndPush("/old"));
  const int httpPort = program->HttpPort();
  ASSERT_NE(httpPort, 0);
  ASSERT_TRUE(receiver.WaitForTarget("/plain?v=first", kProgramEffectMs));

  // The first push's request is held: the others stay queued behind it.
  ASSERT_NE(program->WaitFor("/plain?v=first...OK\n", kProgramEffectMs), std::string::npos);
  receiver.SetHolding(true);
  constexpr int kPushes = 6;
  for (int i = 0; i < kPushes; ++i) {
    ASSERT_NE(HttpGet(httpPort, "/input1?set=q" + std::to_string(i)).find("query received"),
              std::string::npos);
    if (i == 0) {
      ASSERT_TRUE(receiver.WaitForTarget("/old?p=q0", kProgramEffectMs));
    }
  }
  const size_t reloadFrom = program->Output().size();
  ASSERT_TRUE(WriteFileWhole(Config(), PlainAndPush("/new")));
  receiver.SetHolding(false);

  const size_t detected =
      program->WaitFor("\n*** Config file update detected!\n", kProgramEffectMs, reloadFrom);
  ASSERT_NE(detected, std::string::npos) << program->Output();
  const size_t running = program->WaitFor("\nRunning Indefinitely.\n\n", kProgramStartMs, detected);
  ASSERT_NE(running, std::string::npos) << program->Output();
  // Fresh summaries and a fresh first send of the file task.
  EXPECT_NE(program->Find("\nReading config file: \"" + Config() + "\"\n", detected),
            std::string::npos);
  EXPECT_EQ(program->Count("--------------- TASK 0 ", detected), 1u);
  EXPECT_EQ(program->Count("--------------- TASK 1 ", detected), 1u);
  EXPECT_TRUE(receiver.WaitForTarget("/plain?v=first", kProgramEffectMs, 2)) << program->Output();

  // What was still queued at the reload leaves through the new URL, before the
  // pushes that come after it.
  EXPECT_NE(HttpGet(httpPort, "/input1?set=fresh").find("query received"), std::string::npos);
  EXPECT_TRUE(receiver.WaitForTarget("/new?p=fresh", kProgramEffectMs)) << program->Output();
  std::vector<std::string> pushed;
  for (const std::string& target : receiver.Targets()) {
    if (target.rfind("/plain?", 0) != 0) pushed.push_back(target.substr(target.find("?p=") + 3));
  }
  EXPECT_EQ(pushed, (std::vector<std::string>{"q0", "q1", "q2", "q3", "q4", "q5", "fresh"}));
  EXPECT_EQ(receiver.CountPrefix("/old?"), 1u);
  EXPECT_EQ(receiver.CountPrefix("/new?"), static_cast<size_t>(kPushes));
  EXPECT_EQ(program->Count("*** Config file update detected!"), 1u);

  program->SendEscape();
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0) << program->Output();
}

TEST_F(LifecycleTest, DeletedConfigurationRetriesEverySecondAndResumes) {
  const std::string config = PlainAndPush("/p");
  Launch(config);
  ASSERT_TRUE(receiver.WaitForTarget("/plain?v=first", kProgramEffectMs));
  // The reason after the line is the system's text for a missing file.
  const std::string cannotRead =
      "Couldn't read from file \"" + Config() + "\"\n  open " + Config() + ": ";

  ASSERT_EQ(std::remove(Config().c_str()), 0);
  const size_t detected =
      program->WaitFor("\n*** Config file update detected!\n", kProgramEffectMs);
  ASSERT_NE(detected, std::string::npos) << program->Output();
  ASSERT_NE(program->WaitFor(cannotRead, kProgramEffectMs, detected), std::string::npos)
      << program->Output();
  const auto firstFailure = Clock::now();
  // About one retry per second: at least two more within 3.5 s, and not a burst.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const std::string retry = "\nReading config file: \"" + Config() + "\"\n" + cannotRead;
  size_t at = program->Find(cannotRead, detected);
  for (int i = 0; i < 2 && at != std::string::npos; ++i) at = program->WaitFor(retry, 1000, at);
  ASSERT_NE(at, std::string::npos) << program->Output();
  const double seconds = SecondsSince(firstFailure);
  EXPECT_LE(program->Count(cannotRead, detected), static_cast<size_t>(seconds) + 2)
      << program->Output();

  // Restoring the file resumes with fresh tasks.
  const size_t restoreFrom = program->Output().size();
  ASSERT_TRUE(WriteFileWhole(Config(), config));
  const size_t resumed =
      program->WaitFor("\nRunning Indefinitely.\n\n", kProgramStartMs, restoreFrom);
  ASSERT_NE(resumed, std::string::npos) << program->Output();
  EXPECT_NE(program->Find("--------------- TASK 1 ", restoreFrom), std::string::npos);
  EXPECT_TRUE(receiver.WaitForTarget("/plain?v=first", kProgramEffectMs, 2)) << program->Output();
  EXPECT_NE(HttpGet(program->HttpPort(), "/input1?set=back").find("query received"),
            std::string::npos);
  EXPECT_TRUE(receiver.WaitForTarget("/p?p=back", kProgramEffectMs)) << program->Output();

  // A stop while the file cannot be read ends the program within about a second.
  const size_t secondFrom = program->Output().size();
  ASSERT_EQ(std::remove(Config().c_str()), 0);
  ASSERT_NE(program->WaitFor(cannotRead, kProgramEffectMs, secondFrom), std::string::npos)
      << program->Output();
  const auto stopAt = Clock::now();
  program->SendEscape();
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0) << program->Output();
  EXPECT_LT(SecondsSince(stopAt), kPromptStopSeconds);
}

TEST_F(LifecycleTest, StopWithoutAnyConfigurationEndsPromptly) {
  program = std::make_unique<CProgram>(folder.Path(), folder.PathOf("missing.ini"));
  ASSERT_TRUE(program->Started());
  const std::string cannotRead =
      "Couldn't read from file \"" + folder.PathOf("missing.ini") + "\"\n";
  ASSERT_NE(program->WaitFor(cannotRead, kProgramStartMs), std::string::npos) << program->Output();
  EXPECT_EQ(program->Find("Running Indefinitely."), std::string::npos);
  const auto stopAt = Clock::now();
  program->SendEscape();
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0) << program->Output();
  EXPECT_LT(SecondsSince(stopAt), kPromptStopSeconds);
  EXPECT_NE(program->Find("Exiting.\n"), std::string::npos);
}

// Every way of ending the console test mode prints the same line and exits with
// success, also while a task is running.
TEST_F(LifecycleTest, EveryStopRequestEndsCleanly) {
  const StopCase cases[] = {
      {"escape key", [](CProgram& p) { p.SendEscape(); }, false},
      {"SIGTERM", [](CProgram& p) { p.Signal(SIGTERM); }, true},
      {"SIGINT", [](CProgram& p) { p.Signal(SIGINT); }, true},
      {"SIGHUP after the end of input",
       [](CProgram& p) {
         p.CloseInput();
         p.Signal(SIGHUP);
       },
       true},
  };
  for (const StopCase& stop : cases) {
    if (kUnderWine && stop.bSignal) continue;
    SCOPED_TRACE(stop.name);
    Launch(PlainAndPush("/p"));
    stop.request(*program);
    EXPECT_EQ(program->WaitExit(kProgramExitMs), 0) << program->Output();
    EXPECT_NE(program->Find("Exiting.\n"), std::string::npos) << program->Output();
    program.reset();
  }
}

// Hold the first free port of each range; the program must take a later one,
// print it, and serve on it.
TEST_F(LifecycleTest, TakenPortsMoveTheProgramToTheNextOnes) {
  std::unique_ptr<CPortHolder> httpHolder;
  int heldHttp = 7370;
  for (; heldHttp < 7379; ++heldHttp) {
    httpHolder = std::make_unique<CPortHolder>(heldHttp);
    if (httpHolder->Holding()) break;
  }
  std::unique_ptr<CPortHolder> consoleHolder;
  int heldConsole = 32700;
  for (; heldConsole < 32799; ++heldConsole) {
    consoleHolder = std::make_unique<CPortHolder>(heldConsole);
    if (consoleHolder->Holding()) break;
  }
  ASSERT_TRUE(httpHolder->Holding() && consoleHolder->Holding()) << "no free ports to hold";

  Launch(PlainAndPush("/p"));
  const int httpPort = program->HttpPort();
  const int consolePort = program->ConsolePort();
  EXPECT_GT(httpPort, heldHttp) << program->Output();
  EXPECT_LE(httpPort, 7379);
  EXPECT_GT(consolePort, heldConsole) << program->Output();
  EXPECT_LE(consolePort, 32799);
  EXPECT_NE(program->Find("Input is HTTP server http://127.0.0.1:" + std::to_string(httpPort) +
                          "/input1?set=data\n"),
            std::string::npos);

  EXPECT_NE(HttpGet(httpPort, "/").find("Quillrade Service HTTP server by Hollend"),
            std::string::npos);
  CLoopbackClient client(consolePort);
  ASSERT_TRUE(client.Connected());
  EXPECT_TRUE(client.WaitForText("TcpConsole (" + std::to_string(consolePort) + "): Quillrade",
                                 kProgramEffect))
      << client.Received();

  program->SendEscape();
  EXPECT_EQ(program->WaitExit(kProgramExitMs), 0) << program->Output();
}

// A target that accepted the request and never answers would hold the main
// thread for the whole two-minute transfer limit, far beyond a service
// manager's stop timeout: a stop aborts the request, reports it as failed and
// ends at once.
TEST_F(LifecycleTest, StopAbortsARequestToASilentTarget) {
  const StopCase cases[] = {
      {"SIGTERM", [](CProgram& p) { p.Signal(SIGTERM); }, true},
      {"escape key", [](CProgram& p) { p.SendEscape(); }, false},
  };
  receiver.SetDelayMs(60000);
  const std::string config =
      "[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%text0%\nUrl0=" + receiver.BaseUrl() +
      "/silent?v=%format0%\n";
  size_t requests = 0;
  for (const StopCase& stop : cases) {
    if (kUnderWine && stop.bSignal) continue;
    SCOPED_TRACE(stop.name);
    Launch(config);
    ASSERT_NE(HttpGet(program->HttpPort(), "/input0?set=one").find("query received"),
              std::string::npos);
    ASSERT_TRUE(receiver.WaitForTarget("/silent?v=one", kProgramEffectMs, ++requests))
        << program->Output();
    const auto stopAt = Clock::now();
    stop.request(*program);

    EXPECT_EQ(program->WaitExit(kProgramExitMs), 0) << program->Output();
    EXPECT_LT(SecondsSince(stopAt), kPromptStopSeconds);
    // The stop's own "Exiting." line may come between the URL and its result.
    const std::string output = program->Output();
    const size_t fetched = output.find("/silent?v=one...");
    ASSERT_NE(fetched, std::string::npos) << output;
    EXPECT_NE(output.find("ERROR\n", fetched), std::string::npos) << output;
    EXPECT_EQ(output.find("OK\n", fetched), std::string::npos) << output;
    EXPECT_EQ(program->Count("/silent?v=one..."), 1u) << output;
    program.reset();
  }
}

}  // namespace
