#include "platform/sync.h"

#include "platform/address_wait.h"
#include "platform/process.h"
#include "platform/win_handle.h"

// ---- CPlatformMutex ----

// A Windows mutex reports an ended holder itself (WAIT_ABANDONED) and stays
// usable afterwards.
struct CPlatformMutex::Impl {
  HANDLE hMutex = nullptr;
};

CPlatformMutex::CPlatformMutex() {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  if (mutex == nullptr) {
    strCreationError = ErrorMessage(static_cast<int>(GetLastError()));
    return;
  }
  impl = std::make_unique<Impl>();
  impl->hMutex = mutex;
}

CPlatformMutex::~CPlatformMutex() {
  if (impl) CloseHandle(impl->hMutex);
}

namespace {

// The one place where a wait result becomes the layer's result.
MutexLockResult ToLockResult(DWORD result) {
  switch (result) {
    case WAIT_OBJECT_0:
      return MutexLockResult::kObtained;
    case WAIT_ABANDONED:
      return MutexLockResult::kAbandoned;
    case WAIT_TIMEOUT:
      return MutexLockResult::kBusy;
    default:
      return MutexLockResult::kFailed;
  }
}

}  // namespace

MutexLockResult CPlatformMutex::Lock() {
  if (!impl) return MutexLockResult::kFailed;
  return ToLockResult(WaitForSingleObject(impl->hMutex, INFINITE));
}

MutexLockResult CPlatformMutex::TryLock() {
  if (!impl) return MutexLockResult::kFailed;
  return ToLockResult(WaitForSingleObject(impl->hMutex, 0));
}

void CPlatformMutex::Unlock() {
  if (impl) ReleaseMutex(impl->hMutex);
}

// ---- Address waits ----

void WaitWhileValue(std::atomic<uint32_t>* word, uint32_t expected) {
  WaitOnAddress(reinterpret_cast<volatile void*>(word), &expected, sizeof(expected), INFINITE);
}

void WakeOneWaiter(std::atomic<uint32_t>* word) {
  WakeByAddressSingle(reinterpret_cast<void*>(word));
}
