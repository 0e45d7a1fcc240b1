#include "status/log_output.h"

#include "status/journal_sink.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Records every text handed to the console.
class CRecordingSink : public ILogConsoleSink {
 public:
  void WriteText(const char* bytes, size_t length) override {
    std::lock_guard<std::mutex> hold(mutex);
    texts.emplace_back(bytes, length);
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> hold(mutex);
    return texts;
  }

 private:
  std::mutex mutex;
  std::vector<std::string> texts;
};

class CLogOutputTest : public ::testing::Test {
 protected:
  CLogOutputTest() {
    output.SetStdoutEnabled(false);
    output.AttachConsole(&sink);
  }

  CRecordingSink sink;
  CLogOutput output;
};

TEST_F(CLogOutputTest, RingShowsEarlierTextsAfterEmptySlots) {
  output.Printf("first %d\n", 1);
  output.Printf("two\nlines\n");
  const std::vector<std::string> texts = output.RecentTexts();
  ASSERT_EQ(texts.size(), 50u);
  EXPECT_EQ(output.SlotCount(), 50u);
  for (size_t i = 0; i < 48; ++i) EXPECT_EQ(texts[i], "") << i;
  EXPECT_EQ(texts[48], "first 1\n");
  EXPECT_EQ(texts[49], "two\nlines\n");
  EXPECT_EQ(output.Position(), 2u);
  EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"first 1\n", "two\nlines\n"}));
}

TEST_F(CLogOutputTest, FiftyFirstPrintOverwritesTheOldest) {
  for (int i = 0; i < 51; ++i) output.Printf("text %d", i);
  EXPECT_EQ(output.Position(), 1u);
  const std::vector<std::string> texts = output.RecentTexts();
  ASSERT_EQ(texts.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(texts[i], "text " + std::to_string(i + 1));
}

TEST_F(CLogOutputTest, EmptyPrintTakesASlotButSendsNothingToTheConsole) {
  output.Printf("before");
  output.Printf("%s", "");
  EXPECT_EQ(output.Position(), 2u);
  const std::vector<std::string> texts = output.RecentTexts();
  EXPECT_EQ(texts[48], "before");
  EXPECT_EQ(texts[49], "");
  EXPECT_EQ(sink.Texts(), std::vector<std::string>{"before"});
}

TEST_F(CLogOutputTest, DetachedConsoleReceivesNothingButTheRingStillDoes) {
  output.AttachConsole(nullptr);
  EXPECT_EQ(output.AttachedConsole(), nullptr);
  output.Printf("alone");
  EXPECT_TRUE(sink.Texts().empty());
  EXPECT_EQ(output.RecentTexts().back(), "alone");
}

TEST_F(CLogOutputTest, LongConversionsArePrintedWhole) {
  const std::string longText(1 << 20, 'x');
  output.Printf("[%s]", longText.c_str());
  EXPECT_EQ(output.RecentTexts().back(), "[" + longText + "]");

  // Over 4900 digits: far beyond any size guessed from the format alone.
  output.Printf("%Lf|", 1e4900L);
  const std::string huge = output.RecentTexts().back();
  EXPECT_EQ(huge.size(), 4901u + 7u + 1u);
  EXPECT_EQ(huge.substr(0, 1), "1");
  EXPECT_EQ(huge.substr(huge.size() - 8), ".000000|");
  EXPECT_EQ(sink.Texts().back(), huge);

  output.Printf("%-3000d|%.*s|", 7, 2, "abc");
  const std::string padded = output.RecentTexts().back();
  EXPECT_EQ(padded, "7" + std::string(2999, ' ') + "|ab|");
}

// Concurrent printers and a reader: the ring always ends with the same texts, in
// the same order, that the console received; TSan checks the sharing.
TEST_F(CLogOutputTest, ManyPrintersAndAReaderAgreeOnOrder) {
  constexpr int kPrinters = 4;
  constexpr int kPrints = 300;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      const std::vector<std::string> texts = output.RecentTexts();
      ASSERT_EQ(texts.size(), 50u);
    }
  });
  std::vector<std::thread> printers;
  for (int p = 0; p < kPrinters; ++p) {
    printers.emplace_back([&, p] {
      for (int i = 0; i < kPrints; ++i) output.Printf("printer %d text %d\n", p, i);
    });
  }
  for (auto& printer : printers) printer.join();
  done = true;
  reader.join();

  const std::vector<std::string> sent = sink.Texts();
  ASSERT_EQ(sent.size(), size_t{kPrinters} * kPrints);
  const std::vector<std::string> ring = output.RecentTexts();
  EXPECT_EQ(ring, std::vector<std::string>(sent.end() - 50, sent.end()));
  EXPECT_EQ(output.Position(), (kPrinters * kPrints) % 50u);
}

using Fields = std::vector<std::string>;

// Priority, task and request fields; a request's start and result (printed by
// one thread) make one entry, and a start followed by anything else is not sent.
TEST(CJournalSinkTest, EntriesCarryPriorityTaskAndTheJoinedRequest) {
  std::vector<Fields> sent;
  CJournalSink sink([&sent](const Fields& fields) { return sent.push_back(fields), true; });
  CLogOutput output;
  output.SetJournalSink(&sink);
  const std::string label = "output1";
  {
    const CLogTaskScope scope(label);
    output.Printf("\nFetching URL: %s...", "http://u:pw@h/a?token=t");
    std::thread([&output] {
      output.Printf("HTTP push /input0: queue full, text dropped\n");
    }).join();
    output.Printf("ERROR\n");
  }
  output.Printf("\nFetching URL: http://h/b...");
  output.Printf("\nCouldn't read from file \"/q.ini\"\n\x1b\n");
  output.Printf("\n");
  output.Printf("3 more requests refused\n");
  const std::string id = "SYSLOG_IDENTIFIER=quillrade";
  EXPECT_EQ(sent, (std::vector<Fields>{
                      {"MESSAGE=HTTP push /input0: queue full, text dropped", "PRIORITY=4", id},
                      {"MESSAGE=Fetching URL: http://u:pw@h/a?token=t...ERROR", "PRIORITY=3", id,
                       "QUILLRADE_URL=http://u:***@h/a?token=***", "QUILLRADE_RESULT=ERROR",
                       "QUILLRADE_TASK=output1"},
                      {"MESSAGE=Couldn't read from file \"/q.ini\"\n^[", "PRIORITY=3", id},
                      {"MESSAGE=3 more requests refused", "PRIORITY=3", id},
                  }));
}

TEST(CLogOutputGlobalTest, DebugPrintfReturnsZeroAndPrintsNothing) {
  const uint32_t before = g_logOutput.Position();
  EXPECT_EQ(DebugPrintf("diagnostic %d\n", 5), 0);
  EXPECT_EQ(g_logOutput.Position(), before);
}

// Reads what arrives on `fd` within two seconds, until `expected` bytes came.
std::string ReadWithin2s(int fd, size_t expected) {
  std::string received;
  char buffer[256];
  pollfd watch{fd, POLLIN, 0};
  while (received.size() < expected && poll(&watch, 1, 2000) > 0) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got <= 0) break;
    received.append(buffer, static_cast<size_t>(got));
  }
  return received;
}

// A pipe makes stdout fully buffered; every print must still arrive while the
// process keeps running, not when a buffer fills or the process ends.
TEST(CLogOutputGlobalTest, EveryPrintReachesAPipedStdoutAtOnce) {
  int toParent[2];
  int hold[2];
  ASSERT_EQ(pipe(toParent), 0);
  ASSERT_EQ(pipe(hold), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(toParent[1], STDOUT_FILENO);
    close(toParent[0]);
    close(hold[1]);
    g_logOutput.Printf("status %s\n", "one");
    g_logOutput.Printf("partial");
    char byte;
    while (read(hold[0], &byte, 1) > 0) {  // stays alive until the parent closes hold
    }
    _exit(0);
  }
  close(toParent[1]);
  close(hold[0]);
  const std::string received = ReadWithin2s(toParent[0], 18);
  close(hold[1]);
  int status = 0;
  waitpid(child, &status, 0);
  close(toParent[0]);
  EXPECT_EQ(received, "status one\npartial");
}

}  // namespace
