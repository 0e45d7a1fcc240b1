#include "platform/sync.h"

#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

#include "platform/process.h"

// ---- CPlatformMutex ----

struct CPlatformMutex::Impl {
  pthread_mutex_t mutex;
};

CPlatformMutex::CPlatformMutex() {
  auto created = std::make_unique<Impl>();
  pthread_mutexattr_t attr;
  int error = pthread_mutexattr_init(&attr);
  if (error == 0) {
    error = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (error == 0) error = pthread_mutex_init(&created->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  if (error == 0) {
    impl = std::move(created);
  } else {
    strCreationError = ErrorMessage(error);
  }
}

CPlatformMutex::~CPlatformMutex() {
  if (impl) pthread_mutex_destroy(&impl->mutex);
}

namespace {

// The one place where a pthread lock result becomes the layer's result.
MutexLockResult ToLockResult(pthread_mutex_t* mutex, int result) {
  switch (result) {
    case 0:
      return MutexLockResult::kObtained;
    case EOWNERDEAD:
      // The holder died; we hold it now. Marking it consistent keeps it usable.
      pthread_mutex_consistent(mutex);
      return MutexLockResult::kAbandoned;
    case EBUSY:
      return MutexLockResult::kBusy;
    default:
      return MutexLockResult::kFailed;
  }
}

}  // namespace

MutexLockResult CPlatformMutex::Lock() {
  if (!impl) return MutexLockResult::kFailed;
  return ToLockResult(&impl->mutex, pthread_mutex_lock(&impl->mutex));
}

MutexLockResult CPlatformMutex::TryLock() {
  if (!impl) return MutexLockResult::kFailed;
  return ToLockResult(&impl->mutex, pthread_mutex_trylock(&impl->mutex));
}

void CPlatformMutex::Unlock() {
  if (impl) pthread_mutex_unlock(&impl->mutex);
}

// ---- CSpinLock ----

namespace {

void FutexWait(std::atomic<uint32_t>* word, uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

void FutexWakeOne(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

bool CSpinLock::TryLock() {
  uint32_t expected = 0;
  return nState.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}

void CSpinLock::Lock() {
  for (int tries = 0; tries < nSpinCount; ++tries) {
    if (nState.load(std::memory_order_relaxed) == 0 && TryLock()) return;
    CpuRelax();
  }
  // Mark the lock contended (2) so that Unlock wakes a sleeper, then sleep until
  // we are the one that swaps it from free to contended.
  while (nState.exchange(2, std::memory_order_acquire) != 0) FutexWait(&nState, 2);
}

void CSpinLock::Unlock() {
  if (nState.exchange(0, std::memory_order_release) == 2) FutexWakeOne(&nState);
}

// ---- CAutoResetEvent ----

void CAutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> hold(mutex);
    bSet = true;
  }
  signal.notify_one();
}

void CAutoResetEvent::Reset() {
  std::lock_guard<std::mutex> hold(mutex);
  bSet = false;
}

bool CAutoResetEvent::Wait(int milliseconds) {
  std::unique_lock<std::mutex> hold(mutex);
  if (milliseconds < 0) {
    signal.wait(hold, [this] { return bSet; });
  } else if (!signal.wait_for(hold, std::chrono::milliseconds(milliseconds),
                              [this] { return bSet; })) {
    return false;
  }
  bSet = false;
  return true;
}
