// The OS thread behind CSimpleThread: its start gate and its identity.
#include "platform/thread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "support/bounded_wait.h"

namespace {

TEST(CPlatformThreadTest, BodyRunsOnlyAfterResumeOnTheThreadItNames) {
  std::atomic<bool> bRan{false};
  std::atomic<uint32_t> nSeenId{0};
  std::unique_ptr<CPlatformThread> thread = CPlatformThread::CreateSuspended(
      [&] {
        nSeenId = CurrentThreadId();
        bRan = true;
      },
      0);
  ASSERT_TRUE(thread);
  EXPECT_NE(thread->ThreadId(), 0u);
  EXPECT_NE(thread->ThreadId(), CurrentThreadId());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(bRan.load()) << "the body ran before Resume";

  thread->Resume();
  ASSERT_TRUE(WaitUntil([&] { return bRan.load(); }));
  EXPECT_EQ(nSeenId.load(), thread->ThreadId());
}

TEST(CPlatformThreadTest, ThreadNeverResumedEndsWithoutRunningItsBody) {
  std::atomic<bool> bRan{false};
  std::unique_ptr<CPlatformThread> thread =
      CPlatformThread::CreateSuspended([&] { bRan = true; }, 256 * 1024);
  ASSERT_TRUE(thread);
  thread.reset();  // joins
  EXPECT_FALSE(bRan.load());
}

}  // namespace
