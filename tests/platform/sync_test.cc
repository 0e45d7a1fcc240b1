// The spin lock behind every status print and the auto-reset event, driven by
// real threads. The thread-sanitizer run checks the counter the lock guards.
#include "platform/sync.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/bounded_wait.h"

namespace {

// Several threads increment a plain counter under the lock; a lost update or a
// data race (under the thread sanitizer) shows a lock that lets two in at once.
// Spin count 1 sends nearly every contended Lock to the sleeping path.
TEST(CSpinLockTest, ContendedIncrementsAreNeverLost) {
  constexpr int kThreads = 4;
  constexpr int kIncrements = 20000;
  for (const int spinCount : {CSpinLock::kDefaultSpinCount, 1}) {
    CSpinLock lock(spinCount);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < kIncrements; ++i) {
          lock.Lock();
          ++counter;
          lock.Unlock();
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, long{kThreads} * kIncrements) << "spin count " << spinCount;
  }
}

TEST(CSpinLockTest, TryLockFailsWhileHeldAndAWaiterGetsItAfterUnlock) {
  CSpinLock lock(1);
  ASSERT_TRUE(lock.TryLock());
  EXPECT_FALSE(lock.TryLock());
  std::atomic<bool> bEntered{false};
  std::thread waiter([&] {
    lock.Lock();
    bEntered = true;
    lock.Unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(bEntered.load()) << "entered while the lock was held";
  lock.Unlock();
  EXPECT_TRUE(WaitUntil([&] { return bEntered.load(); }));
  waiter.join();
  EXPECT_TRUE(lock.TryLock());
  lock.Unlock();
}

TEST(CAutoResetEventTest, SetBeforeWaitStaysUntilOneWaitConsumesIt) {
  CAutoResetEvent event;
  event.Set();
  event.Set();  // a second Set does not count twice
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));

  event.Set();
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(CAutoResetEventTest, WaitWithoutSetTimesOut) {
  CAutoResetEvent event;
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.Wait(30));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(30));
}

// Two threads wait without limit: each Set releases exactly one of them.
TEST(CAutoResetEventTest, OneSetWakesOneWaiter) {
  CAutoResetEvent event;
  std::atomic<int> nWoken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(-1)) ++nWoken;
    });
  }
  event.Set();
  ASSERT_TRUE(WaitUntil([&] { return nWoken.load() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(nWoken.load(), 1) << "one Set woke both waiters";
  event.Set();
  EXPECT_TRUE(WaitUntil([&] { return nWoken.load() == 2; }));
  for (std::thread& waiter : waiters) waiter.join();
}

}  // namespace
