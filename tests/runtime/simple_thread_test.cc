#include "runtime/simple_thread.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/bounded_wait.h"
#include "util/crash_reporter.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs the given function as the thread's handler.
class CFunctionHandler : public CSimpleThreadHandler {
 public:
  explicit CFunctionHandler(std::function<void(CSimpleThread*)> body) : body(std::move(body)) {}
  void Run(CSimpleThread* thread) override { body(thread); }

 private:
  std::function<void(CSimpleThread*)> body;
};

class CSimpleThreadTest : public ::testing::Test {
 protected:
  // Starts `thread` named "CTest::thread" with `body` as its handler.
  void StartWith(std::function<void(CSimpleThread*)> body) {
    handler = std::make_unique<CFunctionHandler>(std::move(body));
    thread.SetName("CTest::thread");
    thread.SetHandler(handler.get());
    ASSERT_EQ(thread.Start(), 0);
  }

  std::unique_ptr<CFunctionHandler> handler;
  CSimpleThread thread;  // declared last: stopped before the handler goes away
};

TEST_F(CSimpleThreadTest, RunExecutesOnANewNamedThreadThatKnowsItself) {
  std::atomic<CSimpleThread*> seenCurrent{nullptr};
  std::atomic<uint32_t> seenTid{0};
  std::string seenName;
  StartWith([&](CSimpleThread* self) {
    seenCurrent = CSimpleThread::Current();
    seenTid = static_cast<uint32_t>(gettid());
    seenName = self->Name();
    while (self->Wait(-1)) {
    }
  });
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_TRUE(thread.HasHandle());
  ASSERT_TRUE(WaitUntil([&] { return seenTid.load() != 0; }));
  EXPECT_EQ(seenCurrent.load(), &thread);
  EXPECT_EQ(thread.ThreadId(), seenTid.load());
  EXPECT_NE(thread.ThreadId(), static_cast<uint32_t>(gettid()));
  EXPECT_EQ(CSimpleThread::Current(), nullptr);

  thread.Stop();
  EXPECT_EQ(seenName, "CTest::thread");
  EXPECT_FALSE(thread.IsActive());
  EXPECT_FALSE(thread.HasHandle());
  EXPECT_EQ(thread.ThreadId(), 0u);
  EXPECT_FALSE(thread.IsStopping());
}

TEST_F(CSimpleThreadTest, WakeBeforeWaitEndsTheNextWaitAtOnce) {
  std::atomic<bool> wakeSent{false};
  std::atomic<int> waitMilliseconds{-1};
  std::atomic<bool> timedOut{true};
  StartWith([&](CSimpleThread* self) {
    while (!wakeSent) std::this_thread::yield();
    const auto begin = Clock::now();
    self->Wait(20000);
    timedOut = self->TimedOut();
    waitMilliseconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count());
    while (self->Wait(-1)) {
    }
  });
  thread.Wake();
  wakeSent = true;
  ASSERT_TRUE(WaitUntil([&] { return waitMilliseconds.load() >= 0; }));
  EXPECT_LT(waitMilliseconds.load(), 2000);
  EXPECT_FALSE(timedOut.load());
  EXPECT_TRUE(thread.IsRunning());
}

TEST_F(CSimpleThreadTest, OneWakeEndsOneWaitAndAWaitWithoutWakeTimesOut) {
  std::atomic<int> step{0};
  std::atomic<bool> secondTimedOut{false};
  std::atomic<bool> stillRunning{false};
  StartWith([&](CSimpleThread* self) {
    while (step.load() == 0) std::this_thread::yield();
    self->Wait(20000);  // consumes the one wake
    stillRunning = self->Wait(30);
    secondTimedOut = self->TimedOut();
    step = 2;
    while (self->Wait(-1)) {
    }
  });
  thread.Wake();
  step = 1;
  ASSERT_TRUE(WaitUntil([&] { return step.load() == 2; }));
  EXPECT_TRUE(secondTimedOut.load());
  EXPECT_TRUE(stillRunning.load());
}

TEST_F(CSimpleThreadTest, SignalStopEndsAWaitWithoutLimit) {
  std::atomic<bool> returned{false};
  StartWith([&](CSimpleThread* self) {
    while (self->Wait(-1)) {
    }
    returned = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return thread.InWait(); }));
  thread.SignalStop();
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_TRUE(WaitUntil([&] { return returned.load(); }));
  EXPECT_TRUE(WaitUntil([&] { return !thread.IsActive(); }));
}

TEST_F(CSimpleThreadTest, StopWaitsUntilABusyHandlerReturns) {
  std::atomic<bool> release{false};
  std::atomic<bool> busy{false};
  StartWith([&](CSimpleThread*) {
    busy = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  ASSERT_TRUE(WaitUntil([&] { return busy.load(); }));
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    thread.Stop();
    stopped = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return thread.IsStopping(); }));
  EXPECT_FALSE(stopped.load());
  EXPECT_TRUE(thread.IsActive());
  release = true;
  EXPECT_TRUE(WaitUntil([&] { return stopped.load(); }));
  stopper.join();
  EXPECT_FALSE(thread.IsStopping());
  EXPECT_FALSE(thread.HasHandle());
}

TEST_F(CSimpleThreadTest, StopOfANeverStartedThreadReturnsAndStartStillWorks) {
  const auto begin = Clock::now();
  thread.Stop();
  EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(500));
  EXPECT_FALSE(thread.HasHandle());

  std::atomic<int> runs{0};
  StartWith([&](CSimpleThread* self) {
    ++runs;
    while (self->Wait(-1)) {
    }
  });
  thread.Stop();
  ASSERT_EQ(thread.Start(), 0);  // the same object runs again after a Stop
  thread.Stop();
  EXPECT_EQ(runs.load(), 2);
}

TEST_F(CSimpleThreadTest, ThreadThatEndsByItselfCanBeStartedAgain) {
  std::atomic<int> runs{0};
  StartWith([&](CSimpleThread*) { ++runs; });
  ASSERT_TRUE(WaitUntil([&] { return !thread.IsActive(); }));
  ASSERT_EQ(thread.Start(), 0);
  thread.Stop();
  EXPECT_EQ(runs.load(), 2);
}

TEST(CSimpleThreadPriorityTest, NamesOfPriorityValues) {
  const struct {
    int value;
    bool realTime;
    const char* name;
  } cases[] = {
      {-15, false, "IDLE"},
      {-2, false, "LOWEST"},
      {-1, false, "BELOW_NORMAL"},
      {0, false, "NORMAL"},
      {1, false, "ABOVE_NORMAL"},
      {2, false, "HIGHEST"},
      {15, false, "TIME_CRITICAL"},
      {0x10000, false, "AUDIO_LOW"},
      {0x10003, false, "AUDIO_CRITICAL"},
      {0x10007, false, "PRO_AUDIO_CRITICAL"},
      {4096, false, "ACTUAL 0"},
      {4096 + 20, false, "ACTUAL 20"},
      {4096 + 31, false, "ACTUAL 31"},
      {4096 + 32, false, "Unknown (4128)"},
      {7, false, "Unknown (7)"},
      {-3, false, "Unknown (-3)"},
      {0x10008, false, "Unknown (65544)"},
      {2, true, "RT 26"},
      {0, true, "RT 24"},
      {-15, true, "RT 16"},
      {15, true, "RT 31"},
      {4096 + 20, true, "RT 31"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetThreadPriorityNameFor(c.value, c.realTime), c.name)
        << c.value << (c.realTime ? " real-time" : "");
  }
  EXPECT_EQ(GetThreadPriorityName(4096 + 20), "ACTUAL 20");  // test runs in the normal class
}

TEST(CSimpleThreadPriorityTest, RequestedPriorityIsMappedWhenTheThreadStarts) {
  const struct {
    int requested;
    int applied;  // the OS priority recorded at Start
  } cases[] = {{0x10003, 15}, {4096 + 20, 15}, {4096 + 5, 2}, {4096 + 1, 1}, {20, 15}};
  for (const auto& c : cases) {
    CFunctionHandler handler([](CSimpleThread* self) {
      while (self->Wait(-1)) {
      }
    });
    CSimpleThread thread;
    thread.SetHandler(&handler);
    thread.SetRequestedPriority(c.requested);
    ASSERT_EQ(thread.Start(), 0);
    // An absolute level that the system grants replaces the OS priority.
    const int applied = thread.AppliedPriority();
    EXPECT_TRUE(applied == c.applied || applied == c.requested) << c.requested << " -> " << applied;
    thread.Stop();
  }
}

// Lowering priority needs no privilege, so these must take effect.
TEST(CSimpleThreadPriorityTest, LowPrioritiesReachTheScheduler) {
  const struct {
    int requested;
    int policy;
    int nice;
  } cases[] = {{kThreadPriorityIdle, SCHED_IDLE, -1},
               {kThreadPriorityLowest, SCHED_OTHER, 10},
               {kThreadPriorityBelowNormal, SCHED_OTHER, 5}};
  for (const auto& c : cases) {
    std::atomic<int> policy{-1};
    std::atomic<int> nice{-100};
    CFunctionHandler handler([&](CSimpleThread*) {
      nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
      policy = sched_getscheduler(0);
    });
    CSimpleThread thread;
    thread.SetHandler(&handler);
    thread.SetRequestedPriority(c.requested);
    ASSERT_EQ(thread.Start(), 0);
    thread.Stop();
    EXPECT_EQ(policy.load(), c.policy) << c.requested;
    if (c.nice >= 0) {
      EXPECT_EQ(nice.load(), c.nice) << c.requested;
    }
  }
}

// The process ends inside the statement, so gtest runs it in a child.
void ThrowOnANamedThread(bool standardException) {
  g_crashSwitches.bEnabled = false;  // keep the child from writing report files
  CFunctionHandler handler([standardException](CSimpleThread*) {
    if (standardException) throw std::runtime_error("boom in handler");
    throw 42;
  });
  CSimpleThread thread;
  thread.SetName("Quillrade_Test_Thread");
  thread.SetHandler(&handler);
  thread.Start();
  thread.Stop();  // returns only when the exception did not end the thread's body
  std::_Exit(thread.IsActive() ? 1 : 9);
}

TEST(CSimpleThreadDeathTest, EscapingExceptionIsReportedWithTheThreadName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ThrowOnANamedThread(true), ::testing::ExitedWithCode(9),
              "Quillrade_Test_Thread.*boom in handler");
  EXPECT_EXIT(ThrowOnANamedThread(false), ::testing::ExitedWithCode(9), "Quillrade_Test_Thread");
}

}  // namespace
