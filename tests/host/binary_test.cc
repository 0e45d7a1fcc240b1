// The built program driven from outside: help, the command-prompt box, the console
// test mode with its keys and signals, and the service run under a fake systemd
// notification socket. None of these reach systemctl or sudo.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>

#include <string>
#include <vector>

#include "host_test_support.h"
#include "support/temp_dir.h"

namespace {

// The environment of a console launch: not started by systemd, no colour opt-out.
const std::vector<std::string> kConsoleEnv = {"NOTIFY_SOCKET", "INVOCATION_ID", "NO_COLOR"};

const char kHelp[] =
    "Quillrade Service: quillrade 0.59\n\n"
    "Service Name:          quillrade\n"
    "To install:            quillrade -i\n"
    "To uninstall:          quillrade -u\n\n"
    "\nTo run from command line as a test:    quillrade run \n";

const char kBox[] =
    "\n"
    " ******************************************************************\n"
    " **                                                              **\n"
    " **        This program must be used from a command prompt.      **\n"
    " **                                                              **\n"
    " ******************************************************************\n"
    "\n"
    "No command line parameter specified, waiting for keystroke.\n";

const char kTestModeHead[] = "quillrade 0.59 (command line test mode)\n\nInitializing...\n";
const char kTestModeRunning[] = "Running. ESC to exit, P to sleep/resume.\n";

// The work's own status lines may come between the test mode's lines; these must
// come in order and "Exiting." last of them.
void ExpectTestModeRanAndExited(const std::string& output, const std::string& tail = "") {
  EXPECT_EQ(output.rfind(kTestModeHead, 0), 0u) << output;
  const size_t running = output.find(kTestModeRunning);
  const size_t exiting = output.rfind("Exiting.\n");
  EXPECT_NE(running, std::string::npos) << output;
  EXPECT_NE(exiting, std::string::npos) << output;
  EXPECT_LT(running, exiting) << output;
  EXPECT_EQ(output.find("Exiting.\n"), exiting) << "exited once: " << output;
  EXPECT_EQ(output.substr(output.size() - std::min(output.size(), tail.size())), tail) << output;
}

// Keeps the work away from any configuration file next to the binary.
const char kNoConfig[] = "ini_file=/nonexistent/quillrade-test.ini";

std::vector<std::string> Args(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{BinaryPath()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

TEST(BinaryTest, HelpForAnUnknownOption) {
  CChildProcess child(Args({"-x"}), kConsoleEnv);
  EXPECT_EQ(child.Wait(5000), 0);
  EXPECT_EQ(child.Output(), kHelp);
}

TEST(BinaryTest, HelpColoursOnATerminal) {
  CChildProcess child(Args({"-x"}), kConsoleEnv, /*pty=*/true);
  EXPECT_EQ(child.Wait(5000), 0);
  EXPECT_EQ(child.Output().rfind("\x1b[0;97mQuillrade Service: quillrade 0.59\n\n\x1b[0m", 0), 0u)
      << child.Output();
}

TEST(BinaryTest, BareLaunchShowsTheBoxAndWaitsForAKey) {
  CChildProcess child(Args({}), kConsoleEnv);
  ASSERT_TRUE(child.WaitForOutput("Press any key to continue", 5000)) << child.Output();
  EXPECT_EQ(child.Wait(300), -1) << "ended without a key";
  child.Write("k");
  EXPECT_EQ(child.Wait(5000), 0);
  EXPECT_EQ(child.Output(), std::string(kHelp) + kBox + "Press any key to continue\n");
}

TEST(BinaryTest, PauseWaitsAfterTheHelpAndEndOfInputCountsAsAKey) {
  CChildProcess child(Args({"-pause"}), kConsoleEnv);
  ASSERT_TRUE(child.WaitForOutput("Press any key to continue", 5000)) << child.Output();
  child.CloseInput();
  EXPECT_EQ(child.Wait(5000), 0);
  EXPECT_EQ(child.Output(), std::string(kHelp) + "Press any key to continue\n");
}

TEST(BinaryTest, TestModeKeysOnATerminal) {
  // Keys typed on a real terminal: unbuffered, an arrow key is not an ESC.
  CChildProcess child(Args({"RUN", kNoConfig}), kConsoleEnv, /*pty=*/true, /*ptyInput=*/true);
  ASSERT_TRUE(child.WaitForOutput("P to sleep/resume.\n", 5000)) << child.Output();
  child.Write("p\x1b[A");
  EXPECT_EQ(child.Wait(500), -1) << child.Output();
  child.Write("\x1b");
  EXPECT_EQ(child.Wait(5000), 0);
  ExpectTestModeRanAndExited(child.Output(), "\x1b[0m");
}

TEST(BinaryTest, TestModeEndsOnEscAndSignals) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    int signal;  // 0: the keys end it
    std::string keys;
  } cases[] = {
      {"esc", {"run"}, 0, "xP\x1b"},
      {"SIGINT", {"Run"}, SIGINT, ""},
      {"SIGTERM", {"run"}, SIGTERM, ""},
      {"SIGHUP", {"run=1"}, SIGHUP, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    arguments.push_back(kNoConfig);
    CChildProcess child(Args(arguments), kConsoleEnv);
    ASSERT_TRUE(child.WaitForOutput("P to sleep/resume.\n", 5000)) << c.name << child.Output();
    child.Write(c.keys);
    if (c.signal != 0) child.Signal(c.signal);
    EXPECT_EQ(child.Wait(5000), 0) << c.name;
    ExpectTestModeRanAndExited(child.Output());
  }
}

// A test run whose input ends (a script, a container without a terminal) runs on
// like the service until a signal stops it.
TEST(BinaryTest, TestModeRunsOnAfterEndOfInputUntilASignal) {
  for (const int stopSignal : {SIGHUP, SIGTERM}) {
    CChildProcess child(Args({"run", kNoConfig}), kConsoleEnv);
    ASSERT_TRUE(child.WaitForOutput("P to sleep/resume.\n", 5000)) << child.Output();
    child.Write("P");
    child.CloseInput();
    EXPECT_EQ(child.Wait(400), -1) << "ended with its input: " << child.Output();
    child.Signal(stopSignal);
    EXPECT_EQ(child.Wait(5000), 0) << stopSignal;
    ExpectTestModeRanAndExited(child.Output());
  }
}

TEST(BinaryTest, ServiceRunFromAConsoleEndsAtOnceSilently) {
  CChildProcess child(Args({"servicerun", "-i"}), kConsoleEnv);
  EXPECT_EQ(child.Wait(5000), 0);
  EXPECT_EQ(child.Output(), "");
}

// SIGHUP reloads the service: the first one comes while the main thread still
// starts up and is kept for after it, never fatal; a burst makes one reload.
TEST(BinaryTest, ServiceRunUnderSystemdReportsReadyReloadsOnSighupAndStopsOnSigterm) {
  CTempDir dir;
  const std::string config = "ini_file=" + dir.WriteFile("q.ini", "[global]\n");
  for (const int stopSignal : {SIGTERM, SIGINT}) {
    CNotifySocket notify;
    CChildProcess child(Args({"servicerun", config}),
                        {"NOTIFY_SOCKET=" + notify.Path(), "INVOCATION_ID", "NO_COLOR"});
    EXPECT_EQ(notify.Receive(5000), "READY=1");
    for (const int burst : {1, 3}) {
      for (int i = 0; i < burst; ++i) child.Signal(SIGHUP);
      EXPECT_EQ(notify.Receive(5000), "RELOADING=1");
      EXPECT_EQ(notify.Receive(5000), "READY=1\nSTATUS=");
      EXPECT_EQ(notify.Receive(300), "") << "one reload for a burst";
    }
    child.Signal(stopSignal);
    EXPECT_EQ(notify.Receive(5000), "STOPPING=1");
    EXPECT_EQ(child.Wait(5000), 0) << child.Output();
  }
}

}  // namespace
