#include "platform/sync.h"

#include <chrono>

#include "platform/address_wait.h"

// ---- CSpinLock ----

namespace {

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
  while (nState.exchange(2, std::memory_order_acquire) != 0) WaitWhileValue(&nState, 2);
}

void CSpinLock::Unlock() {
  if (nState.exchange(0, std::memory_order_release) == 2) WakeOneWaiter(&nState);
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
