// The console test mode started without a usable keyboard or output, as a
// script's background job or a container without a terminal starts it: it serves
// and sends until a signal stops it, and then ends cleanly.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "e2e/e2e_support.h"

namespace {

// The old fault ended the program within milliseconds of its start.
constexpr int kStillRunningMs = 500;

// Asks for the status page until it shows `text`; false after `timeoutMs`.
bool WaitForPage(int port, const std::string& text, int timeoutMs) {
  return WaitUntil([&] { return HttpGet(port, "/").find(text) != std::string::npos; },
                   std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(50));
}

// What descriptor `fd` of process `pid` is open on; empty when it is closed.
std::string DescriptorTarget(pid_t pid, int fd) {
  std::error_code error;
  const auto target = std::filesystem::read_symlink(
      "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), error);
  return error ? std::string() : target.string();
}

TEST(StandardStreamsTest, RunsWithoutKeyboardOrOutputUntilASignal) {
  if (kUnderWine) {
    GTEST_SKIP() << "stops by a POSIX signal and reads the descriptors from /proc, which "
                    "a program under Wine has neither of";
  }
  CReceiver receiver;
  ASSERT_TRUE(receiver.Start());
  const struct {
    const char* name;
    StandardStreams streams;
    int nClosed;  // descriptors 0 .. nClosed - 1 were closed at the start
  } cases[] = {
      {"input from /dev/null", StandardStreams::kInputFromDevNull, 0},
      {"input and output closed", StandardStreams::kInputOutputClosed, 2},
      {"all three closed", StandardStreams::kAllClosed, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CTempDir folder{"qr_e2e"};
    const std::string config = folder.PathOf("q.ini");
    ASSERT_TRUE(WriteFileWhole(
        config, "[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%text0%\nUrl0=" +
                    receiver.BaseUrl() + "/p?v=%format0%\n"));
    CProgram program(folder.Path(), {QR_BINARY_PATH, "run", "ini_file=" + config}, c.streams);
    ASSERT_TRUE(program.Started());

    // Its output may be gone: the page and the push show that it runs.
    const int httpPort = WaitForListeningPort(program.Pid(), 7370, 7379, kProgramStartMs);
    ASSERT_NE(httpPort, 0) << program.Output();
    ASSERT_TRUE(WaitForPage(httpPort, "Running Indefinitely.", kProgramStartMs))
        << program.Output();
    EXPECT_EQ(program.WaitExit(kStillRunningMs), -1) << "ended on its own: " << program.Output();
    // A closed standard stream was replaced before anything else could take its
    // number (its own wake pipe on 0 and 1 read its output back as keys).
    for (int fd = 0; fd < c.nClosed; ++fd)
      EXPECT_EQ(DescriptorTarget(program.Pid(), fd), "/dev/null") << fd;
    const std::string text = std::string("still+running+") + c.name[0];
    EXPECT_NE(HttpGet(httpPort, "/input0?set=" + text).find("query received"), std::string::npos);
    EXPECT_TRUE(receiver.WaitForTarget("/p?v=still%20running%20" + std::string(1, c.name[0]),
                                       kProgramEffectMs))
        << program.Output();

    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitExit(kProgramExitMs), 0) << program.Output();
    if (c.streams == StandardStreams::kInputFromDevNull) {
      EXPECT_EQ(program.Count("Exiting.\n"), 1u) << program.Output();
    }
  }
}

}  // namespace
