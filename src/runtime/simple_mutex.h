// Named locks that record who holds them and who waits for them. Two kinds share
// one interface: CSimpleMutex (a robust OS mutex) and CSimpleCritSec (spins 4000
// tries before blocking; for short, frequent sections). The bookkeeping fields are
// diagnostics only; no behaviour depends on them.
//
// Every lock call passes a wait-site literal ("~CSimpleMutex"); a null site is
// recorded as "def". Locks are not recursive.
// Threads: any thread may lock; a lock must be unlocked by the thread that holds it.
#ifndef QUILLRADE_RUNTIME_SIMPLE_MUTEX_H_
#define QUILLRADE_RUNTIME_SIMPLE_MUTEX_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/sync.h"
#include "platform/thread_annotations.h"

// Name and owner-site buffers are this size; texts are cut to one byte less.
constexpr int kLockTextBytes = 256;

class QR_CAPABILITY("mutex") CSimpleMutexBase {
 public:
  // Constant-initialisable: a global lock is usable during static initialisation.
  constexpr CSimpleMutexBase() = default;
  virtual ~CSimpleMutexBase();
  CSimpleMutexBase(const CSimpleMutexBase&) = delete;
  CSimpleMutexBase& operator=(const CSimpleMutexBase&) = delete;

  virtual void Lock(const char* site) QR_ACQUIRE() = 0;
  virtual bool TryLock(const char* site) QR_EXCLUSIVE_TRYLOCK_FUNCTION(true) = 0;
  virtual void Unlock() QR_RELEASE() = 0;

  // The entry operations callers use; each forwards to the operation above.
  virtual void LockEntry(const char* site) QR_ACQUIRE() { Lock(site); }
  virtual bool TryLockEntry(const char* site) QR_EXCLUSIVE_TRYLOCK_FUNCTION(true) {
    return TryLock(site);
  }
  virtual void UnlockEntry() QR_RELEASE() { Unlock(); }

  // Copies up to 255 characters.
  void SetName(const char* name);
  const char* Name() const { return szName; }
  // Site of the current holder; empty text when nobody holds the lock.
  const char* OwnerSite() const { return szOwnerSite; }
  bool IsWaiting() const { return bWaiting.load(std::memory_order_relaxed); }
  uint32_t WaitBegin() const { return nWaitBegin.load(std::memory_order_relaxed); }
  const char* WaiterSite() const { return pWaiterSite.load(std::memory_order_relaxed); }

 protected:
  // Bookkeeping before blocking: wait begin (if nobody waited), waiter site, waiting.
  void NoteWaiting(const char* site);
  // Bookkeeping once obtained: owner site set, waiting fields cleared.
  void NoteObtained(const char* site);
  // Bookkeeping when a wait ends without the lock: waiting fields cleared.
  void ClearWaiting();
  void ClearOwnerSite() { szOwnerSite[0] = 0; }

 private:
  char szName[kLockTextBytes] = {};
  char szOwnerSite[kLockTextBytes] = {};  // written only by the holder
  std::atomic<bool> bWaiting{false};
  std::atomic<uint32_t> nWaitBegin{0};  // a tick of 0 is stored as 0xFFFFFFFF
  std::atomic<const char*> pWaiterSite{nullptr};
};

// On a robust OS mutex. TryLock reports an abandoned mutex (holder died) as not
// obtained; Lock of an abandoned mutex makes it consistent and carries on. When
// the OS refuses the mutex, one line on standard output says so and every
// operation does nothing (TryLock returns false).
class CSimpleMutex : public CSimpleMutexBase {
 public:
  CSimpleMutex();
  ~CSimpleMutex() override;

  void Lock(const char* site) QR_ACQUIRE() override;
  bool TryLock(const char* site) QR_EXCLUSIVE_TRYLOCK_FUNCTION(true) override;
  void Unlock() QR_RELEASE() override;

 private:
  std::unique_ptr<CPlatformMutex> mutex;
  std::atomic<bool> bClosing{false};
};

// Spins up to kCritSecSpinCount tries before blocking. After destruction has begun,
// Lock, TryLock and Unlock do nothing (TryLock returns false), so a late caller
// never enters a lock that is going away. Constant-initialisable.
class CSimpleCritSec : public CSimpleMutexBase {
 public:
  static constexpr int kCritSecSpinCount = 4000;

  constexpr CSimpleCritSec() = default;
  ~CSimpleCritSec() override;

  void Lock(const char* site) QR_ACQUIRE() override;
  bool TryLock(const char* site) QR_EXCLUSIVE_TRYLOCK_FUNCTION(true) override;
  void Unlock() QR_RELEASE() override;

 protected:
  // The destruction steps: waits for the current holder, then marks the lock
  // closed. Idempotent. Called by the destructor.
  void Close();

 private:
  CSpinLock critSec{kCritSecSpinCount};
  std::atomic<bool> bInitialised{true};
};

// Scoped holders: lock in the constructor (when the lock is not null), unlock in
// the destructor.
class QR_SCOPED_CAPABILITY CGrabSimpleMutex {
 public:
  CGrabSimpleMutex(CSimpleMutexBase* lock, const char* site) QR_ACQUIRE(lock);
  virtual ~CGrabSimpleMutex() QR_RELEASE();
  CGrabSimpleMutex(const CGrabSimpleMutex&) = delete;
  CGrabSimpleMutex& operator=(const CGrabSimpleMutex&) = delete;

 private:
  CSimpleMutexBase* pLock;
};

class QR_SCOPED_CAPABILITY CGrabSimpleCritSec {
 public:
  CGrabSimpleCritSec(CSimpleCritSec* lock, const char* site) QR_ACQUIRE(lock);
  virtual ~CGrabSimpleCritSec() QR_RELEASE();
  CGrabSimpleCritSec(const CGrabSimpleCritSec&) = delete;
  CGrabSimpleCritSec& operator=(const CGrabSimpleCritSec&) = delete;

 private:
  CSimpleCritSec* pLock;
};

#endif  // QUILLRADE_RUNTIME_SIMPLE_MUTEX_H_
