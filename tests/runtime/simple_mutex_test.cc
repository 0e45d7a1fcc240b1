#include "runtime/simple_mutex.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/bounded_wait.h"

// These tests take and leave locks across threads, after failed or abandoned
// acquisitions and on closed locks on purpose: patterns the analysis cannot follow.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace {

struct LockKind {
  const char* name;
  std::function<std::unique_ptr<CSimpleMutexBase>()> make;
};

class CSimpleLockTest : public ::testing::TestWithParam<LockKind> {
 protected:
  std::unique_ptr<CSimpleMutexBase> lock = GetParam().make();
};

TEST_P(CSimpleLockTest, OwnerSiteIsRecordedWhileHeldAndEmptyAfterUnlock) {
  lock->Lock("CTest::Run");
  EXPECT_STREQ(lock->OwnerSite(), "CTest::Run");
  EXPECT_FALSE(lock->IsWaiting());
  EXPECT_EQ(lock->WaitBegin(), 0u);
  EXPECT_EQ(lock->WaiterSite(), nullptr);
  lock->Unlock();
  EXPECT_STREQ(lock->OwnerSite(), "");

  lock->LockEntry(nullptr);
  EXPECT_STREQ(lock->OwnerSite(), "def");
  lock->UnlockEntry();

  ASSERT_TRUE(lock->TryLockEntry(nullptr));
  EXPECT_STREQ(lock->OwnerSite(), "def");
  lock->Unlock();
  EXPECT_STREQ(lock->OwnerSite(), "");
}

TEST_P(CSimpleLockTest, NameAndSitesAreCutTo255Characters) {
  const std::string longText(400, 'n');
  lock->SetName(longText.c_str());
  EXPECT_EQ(std::string(lock->Name()), longText.substr(0, 255));
  lock->Lock(longText.c_str());
  EXPECT_EQ(std::string(lock->OwnerSite()), longText.substr(0, 255));
  lock->Unlock();
}

TEST_P(CSimpleLockTest, TryLockFailsWhileAnotherThreadHolds) {
  lock->Lock("holder");
  bool obtained = true;
  std::thread other([&] { obtained = lock->TryLock("other"); });
  other.join();
  EXPECT_FALSE(obtained);
  lock->Unlock();
  std::thread again([&] {
    obtained = lock->TryLock("other");
    if (obtained) lock->Unlock();
  });
  again.join();
  EXPECT_TRUE(obtained);
}

TEST_P(CSimpleLockTest, WaiterIsRecordedUntilItObtainsTheLock) {
  lock->Lock("holder");
  std::thread waiter([&] {
    lock->Lock("CTest::waiter");
    lock->Unlock();
  });
  ASSERT_TRUE(WaitUntil([&] { return lock->IsWaiting(); }));
  EXPECT_STREQ(lock->WaiterSite(), "CTest::waiter");
  EXPECT_NE(lock->WaitBegin(), 0u);
  lock->Unlock();
  waiter.join();
  EXPECT_FALSE(lock->IsWaiting());
  EXPECT_EQ(lock->WaitBegin(), 0u);
  EXPECT_EQ(lock->WaiterSite(), nullptr);
}

// Unsynchronised increments only add up when the lock really excludes.
TEST_P(CSimpleLockTest, ScopedHoldersExcludeEachOther) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  long counter = 0;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        CGrabSimpleMutex hold(lock.get(), "worker");
        ++counter;
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(counter, long{kThreads} * kRounds);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CSimpleLockTest,
    ::testing::Values(
        LockKind{"Mutex", [] { return std::unique_ptr<CSimpleMutexBase>(new CSimpleMutex()); }},
        LockKind{"CritSec",
                 [] { return std::unique_ptr<CSimpleMutexBase>(new CSimpleCritSec()); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CSimpleMutexTest, AbandonedMutexIsNotObtainedByTryLockButLockRecovers) {
  CSimpleMutex mutex;
  std::thread holder([&] { mutex.Lock("holder"); });  // ends without unlocking
  holder.join();

  EXPECT_FALSE(mutex.TryLock("probe"));
  // TryLock must not keep the abandoned mutex: another thread can still lock it.
  bool obtainedElsewhere = false;
  std::thread other([&] {
    mutex.Lock("recover");
    obtainedElsewhere = true;
    EXPECT_STREQ(mutex.OwnerSite(), "recover");
    mutex.Unlock();
  });
  other.join();
  EXPECT_TRUE(obtainedElsewhere);
  ASSERT_TRUE(mutex.TryLock("after"));
  mutex.Unlock();
}

TEST(CSimpleMutexTest, LockOfAnAbandonedMutexCarriesOn) {
  CSimpleMutex mutex;
  std::thread holder([&] { mutex.Lock("holder"); });
  holder.join();
  mutex.Lock("recover");
  EXPECT_STREQ(mutex.OwnerSite(), "recover");
  mutex.Unlock();
  ASSERT_TRUE(mutex.TryLock("after"));
  mutex.Unlock();
}

// Exposes the destruction steps so that "after destruction" can be tested on a
// live object.
class CClosableCritSec : public CSimpleCritSec {
 public:
  using CSimpleCritSec::Close;
};

TEST(CSimpleCritSecTest, ClosingWaitsForTheHolderAndLaterLocksAreIgnored) {
  CClosableCritSec critSec;
  critSec.Lock("holder");
  std::thread closer([&] { critSec.Close(); });
  ASSERT_TRUE(WaitUntil([&] { return critSec.IsWaiting(); }));
  EXPECT_STREQ(critSec.WaiterSite(), "~CSimpleCritSec");
  critSec.Unlock();
  closer.join();
  EXPECT_FALSE(critSec.IsWaiting());

  // None of these may block or enter the closed lock.
  critSec.Lock("late");
  critSec.Lock("late again");
  EXPECT_STREQ(critSec.OwnerSite(), "");
  EXPECT_FALSE(critSec.TryLock("late"));
  critSec.Unlock();
  { CGrabSimpleCritSec hold(&critSec, "late"); }
  critSec.Close();
}

TEST(CSimpleCritSecTest, HoldersAcceptANullLock) {
  CGrabSimpleMutex mutexHold(nullptr, "site");
  CGrabSimpleCritSec critSecHold(nullptr, "site");
}

// constinit fails to compile unless the lock needs no dynamic initialisation,
// which is what makes a global lock usable during any static initialisation.
constinit CSimpleCritSec g_staticCritSec;

TEST(CSimpleCritSecTest, GlobalCritSecNeedsNoDynamicInitialisation) {
  EXPECT_TRUE(g_staticCritSec.TryLock("global"));
  g_staticCritSec.Unlock();
}

}  // namespace
