// The standard output writer against a real pipe whose reader stops reading,
// resumes, and goes away.
#include "platform/stdout_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A pipe whose read end the test reads only when it chooses to.
class CTestPipe {
 public:
  CTestPipe() {
    if (pipe(fds) != 0) fds[0] = fds[1] = -1;
  }
  ~CTestPipe() {
    CloseReadEnd();
    if (fds[1] >= 0) close(fds[1]);
  }
  CTestPipe(const CTestPipe&) = delete;
  CTestPipe& operator=(const CTestPipe&) = delete;

  int WriteEnd() const { return fds[1]; }
  // Fills the pipe up to its capacity, as a reader that stopped reading leaves
  // it; returns the bytes written.
  std::string Fill() {
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    std::string filler;
    const std::string block(4096, '#');
    while (write(fds[1], block.data(), block.size()) > 0) filler += block;
    fcntl(fds[1], F_SETFL, 0);
    return filler;
  }
  void CloseReadEnd() {
    if (fds[0] >= 0) close(fds[0]);
    fds[0] = -1;
  }
  // Reads what the pipe holds now.
  void ReadAvailable() {
    char buffer[65536];
    pollfd ready{fds[0], POLLIN, 0};
    while (poll(&ready, 1, 0) == 1) {
      const ssize_t got = read(fds[0], buffer, sizeof(buffer));
      if (got <= 0) return;
      received.append(buffer, static_cast<size_t>(got));
    }
  }
  // Reads until `received` contains `text` or five seconds have passed.
  bool ReadUntil(const std::string& text) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    char buffer[65536];
    while (received.find(text) == std::string::npos && Clock::now() < end) {
      pollfd ready{fds[0], POLLIN, 0};
      if (poll(&ready, 1, 50) != 1) continue;
      const ssize_t got = read(fds[0], buffer, sizeof(buffer));
      if (got <= 0) return false;
      received.append(buffer, static_cast<size_t>(got));
    }
    return received.find(text) != std::string::npos;
  }

  std::string received;

 private:
  int fds[2] = {-1, -1};
};

std::string NumberedText(int number) {
  std::string text = "text " + std::to_string(number) + " ";
  text.resize(999, '.');
  return text + "\n";
}

TEST(CStdoutWriterTest, UnreadPipeNeverBlocksWritersAndDropsAreCountedOnceDrained) {
  CTestPipe pipe;
  ASSERT_GE(pipe.WriteEnd(), 0);
  constexpr int kTexts = 400;  // 400 KB: far more than the queue holds
  std::string expected = pipe.Fill();
  CStdoutWriter writer(pipe.WriteEnd(), 16 * 1024);
  std::atomic<bool> done{false};
  uint64_t accepted = 0;
  std::thread printer([&] {
    for (int i = 0; i < kTexts; ++i) {
      if (!writer.Write(NumberedText(i))) continue;
      expected += NumberedText(i);
      ++accepted;
    }
    done = true;
  });
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (!done && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(done.load()) << "a write waited for the reader";
  if (!done) pipe.CloseReadEnd();  // unblock, so the test ends instead of hanging
  printer.join();

  const uint64_t dropped = writer.DroppedTexts();
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(accepted + dropped, static_cast<uint64_t>(kTexts));
  EXPECT_FALSE(writer.Flush(100)) << "nobody reads, so the flush must give up";

  // Reading resumes: the accepted texts arrive whole and in order, then one line
  // counts the dropped ones.
  const std::string line =
      "\n*** Standard output was blocked: " + std::to_string(dropped) + " texts dropped\n";
  ASSERT_TRUE(pipe.ReadUntil(line));
  EXPECT_EQ(pipe.received, expected + line);
  EXPECT_TRUE(writer.Write("after\n"));
  EXPECT_TRUE(pipe.ReadUntil(line + "after\n"));
  EXPECT_TRUE(writer.Flush(kStdoutFlushStallMs));
  EXPECT_EQ(writer.DroppedTexts(), dropped);

  // A reader that went away ends neither the writer nor the process.
  pipe.CloseReadEnd();
  EXPECT_TRUE(writer.Write("nobody\n"));
  EXPECT_TRUE(writer.Flush(kStdoutFlushStallMs));
}

// Texts from several threads arrive whole: a text is never split by another.
TEST(CStdoutWriterTest, ConcurrentTextsArriveWholeAndInOrderPerThread) {
  CTestPipe pipe;
  CStdoutWriter writer(pipe.WriteEnd(), 1 << 20);
  constexpr int kThreads = 4;
  constexpr int kTexts = 200;
  std::vector<std::thread> printers;
  for (int t = 0; t < kThreads; ++t) {
    printers.emplace_back([&writer, t] {
      for (int i = 0; i < kTexts; ++i) {
        writer.Write(std::string(50, static_cast<char>('a' + t)) + std::to_string(i) + "\n");
      }
    });
  }
  for (std::thread& printer : printers) printer.join();
  ASSERT_TRUE(writer.Flush(kStdoutFlushStallMs));
  pipe.ReadAvailable();
  std::vector<int> next(kThreads, 0);
  size_t start = 0;
  for (size_t end = pipe.received.find('\n'); end != std::string::npos;
       start = end + 1, end = pipe.received.find('\n', start)) {
    const std::string text = pipe.received.substr(start, end - start);
    const int t = text[0] - 'a';
    ASSERT_TRUE(t >= 0 && t < kThreads) << text;
    EXPECT_EQ(text, std::string(50, text[0]) + std::to_string(next[t]++));
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kTexts);
}

}  // namespace
