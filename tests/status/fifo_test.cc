// The byte queue between the status writers and the console's sending thread.
#include "status/fifo.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(CFifoTest, KeepsOrderAcrossWrapAndDropsWhatDoesNotFit) {
  CFifo fifo(8);
  char out[16] = {};
  EXPECT_EQ(fifo.Write("abcdef", 6), 6u);
  EXPECT_EQ(fifo.Read(out, 4), 4u);
  EXPECT_EQ(std::string(out, 4), "abcd");
  EXPECT_EQ(fifo.Write("ghijklmnop", 10), 6u);  // wraps; "op" dropped
  EXPECT_EQ(fifo.Waiting(), 8u);
  EXPECT_EQ(fifo.Overruns(), 1u);
  EXPECT_EQ(fifo.DroppedBytes(), 4u);
  EXPECT_EQ(fifo.Read(out, 16), 8u);
  EXPECT_EQ(std::string(out, 8), "efghijkl");
  EXPECT_EQ(fifo.Read(out, 16), 0u);

  fifo.Reset(0);
  EXPECT_EQ(fifo.Write("x", 1), 0u);
  EXPECT_EQ(fifo.Read(out, 1), 0u);
  EXPECT_EQ(fifo.DroppedBytes(), 1u);
}

// Several writers and one reader: nothing is duplicated or invented, each writer's
// bytes stay in order, and what is read plus what was dropped is what was written.
TEST(CFifoTest, ConcurrentWritersLoseOnlyCountedBytes) {
  constexpr int kWriters = 4;
  constexpr int kWrites = 20000;
  CFifo fifo(512);
  std::atomic<int> nDone{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kWrites; ++i) {
        const char record[3] = {static_cast<char>('A' + w), static_cast<char>('A' + w),
                                static_cast<char>('A' + w)};
        fifo.Write(record, sizeof(record));
      }
      ++nDone;
    });
  }
  std::vector<size_t> perWriter(kWriters, 0);
  char buffer[100];
  while (nDone.load() < kWriters || fifo.Waiting() > 0) {
    const size_t n = fifo.Read(buffer, sizeof(buffer));
    for (size_t i = 0; i < n; ++i) {
      const int w = buffer[i] - 'A';
      ASSERT_TRUE(w >= 0 && w < kWriters);
      ++perWriter[static_cast<size_t>(w)];
    }
  }
  for (auto& t : writers) t.join();
  size_t nRead = 0;
  for (size_t count : perWriter) nRead += count;
  EXPECT_EQ(nRead + fifo.DroppedBytes(), size_t{kWriters} * kWrites * 3);
}

}  // namespace
