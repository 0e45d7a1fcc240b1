// Synchronisation primitives of the platform layer: a robust mutex that reports an
// abandoned holder, a spin-then-block lock, and an auto-reset event.
//
// Threads: every operation may be called from any thread. A mutex or spin lock must
// be unlocked by the thread that holds it.
#ifndef QUILLRADE_PLATFORM_SYNC_H_
#define QUILLRADE_PLATFORM_SYNC_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

enum class MutexLockResult {
  kObtained,   // held by the caller
  kAbandoned,  // held by the caller; the previous holder ended while holding it
  kBusy,       // TryLock only: another thread holds it
  kFailed,     // not held (the mutex could not be created or is unusable)
};

// A process-private robust mutex. When a holder thread ends without unlocking, the
// next Lock or TryLock obtains it with kAbandoned, and the mutex has already been
// marked consistent again, so it stays usable.
class CPlatformMutex {
 public:
  CPlatformMutex();
  ~CPlatformMutex();
  CPlatformMutex(const CPlatformMutex&) = delete;
  CPlatformMutex& operator=(const CPlatformMutex&) = delete;

  // False when the OS refused to create the mutex; every lock then fails.
  bool IsValid() const { return impl != nullptr; }
  // The system's text for why creation failed; empty for a valid mutex.
  const std::string& CreationError() const { return strCreationError; }
  // Blocks without limit.
  MutexLockResult Lock();
  // Never blocks.
  MutexLockResult TryLock();
  void Unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
  std::string strCreationError;
};

// A lock for short sections: spins up to the spin count, then sleeps in the
// kernel until the holder releases it. Constant-initialisable, so a global holding
// one is usable during the static initialisation of any other file.
class CSpinLock {
 public:
  static constexpr int kDefaultSpinCount = 4000;

  constexpr explicit CSpinLock(int spinCount = kDefaultSpinCount) : nSpinCount(spinCount) {}
  CSpinLock(const CSpinLock&) = delete;
  CSpinLock& operator=(const CSpinLock&) = delete;

  void Lock();
  // True when obtained; never blocks.
  bool TryLock();
  void Unlock();

 private:
  // 0 = free, 1 = held, 2 = held and a thread may sleep on it.
  std::atomic<uint32_t> nState{0};
  int nSpinCount;
};

// An auto-reset event: Set wakes one Wait, which consumes it; a Set with no waiter
// stays until the next Wait.
class CAutoResetEvent {
 public:
  CAutoResetEvent() = default;
  CAutoResetEvent(const CAutoResetEvent&) = delete;
  CAutoResetEvent& operator=(const CAutoResetEvent&) = delete;

  void Set();
  void Reset();
  // Waits up to `milliseconds` (negative = without limit). True when the event was
  // set (and is now consumed), false on timeout.
  bool Wait(int milliseconds);

 private:
  std::mutex mutex;
  std::condition_variable signal;
  bool bSet = false;  // guarded by mutex
};

#endif  // QUILLRADE_PLATFORM_SYNC_H_
