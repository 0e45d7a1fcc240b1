#include "platform/sync.h"

#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/address_wait.h"
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

// ---- Address waits ----

void WaitWhileValue(std::atomic<uint32_t>* word, uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

void WakeOneWaiter(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
