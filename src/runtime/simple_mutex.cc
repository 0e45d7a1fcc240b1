#include "runtime/simple_mutex.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/stdout_writer.h"

namespace {

// Site text recorded when a caller gives none.
constexpr const char* kDefaultSite = "def";

const char* SiteOrDefault(const char* site) { return site ? site : kDefaultSite; }

// Copies at most kLockTextBytes - 1 bytes and always terminates.
void CopyLockText(char* target, const char* text) {
  std::strncpy(target, text, kLockTextBytes - 1);
  target[kLockTextBytes - 1] = 0;
}

// A tick of 0 would read as "nobody waits".
uint32_t NonZeroTick() {
  const uint32_t tick = GetTickCount32();
  return tick == 0 ? 0xFFFFFFFFu : tick;
}

}  // namespace

// ---- CSimpleMutexBase ----

CSimpleMutexBase::~CSimpleMutexBase() = default;

void CSimpleMutexBase::SetName(const char* name) { CopyLockText(szName, name ? name : ""); }

void CSimpleMutexBase::NoteWaiting(const char* site) {
  // With several waiters the begin stays that of the first one.
  if (!bWaiting.load(std::memory_order_relaxed)) {
    nWaitBegin.store(NonZeroTick(), std::memory_order_relaxed);
  }
  pWaiterSite.store(SiteOrDefault(site), std::memory_order_relaxed);
  bWaiting.store(true, std::memory_order_relaxed);
}

void CSimpleMutexBase::NoteObtained(const char* site) {
  CopyLockText(szOwnerSite, SiteOrDefault(site));
  ClearWaiting();
}

void CSimpleMutexBase::ClearWaiting() {
  bWaiting.store(false, std::memory_order_relaxed);
  nWaitBegin.store(0, std::memory_order_relaxed);
  pWaiterSite.store(nullptr, std::memory_order_relaxed);
}

// ---- CSimpleMutex ----

CSimpleMutex::CSimpleMutex() : mutex(std::make_unique<CPlatformMutex>()) {
  // The lock then does nothing; without this line nobody would learn that the
  // sections it guards run unguarded.
  if (!mutex->IsValid()) {
    WriteStdout("Couldn't create a lock (" + mutex->CreationError() +
                "): the sections it guards run unguarded\n");
  }
}

CSimpleMutex::~CSimpleMutex() {
  bClosing.store(true);
  // Waits for a current holder to finish before the mutex goes away.
  Lock("~CSimpleMutex");
  ClearOwnerSite();
  mutex->Unlock();
}

void CSimpleMutex::Lock(const char* site) {
  NoteWaiting(site);
  const MutexLockResult result = mutex->Lock();
  if (result == MutexLockResult::kFailed) {
    ClearWaiting();
    return;
  }
  // An abandoned mutex is held now and already consistent again: carry on.
  NoteObtained(site);
}

bool CSimpleMutex::TryLock(const char* site) {
  switch (mutex->TryLock()) {
    case MutexLockResult::kObtained:
      NoteObtained(site);
      return true;
    case MutexLockResult::kAbandoned:
      // What the dead holder guarded may be half-changed, so this is "not
      // obtained"; release it so that the next Lock finds it free instead of
      // held for ever by this thread.
      mutex->Unlock();
      return false;
    default:
      return false;
  }
}

void CSimpleMutex::Unlock() {
  ClearOwnerSite();
  mutex->Unlock();
}

// ---- CSimpleCritSec ----

CSimpleCritSec::~CSimpleCritSec() { Close(); }

void CSimpleCritSec::Close() {
  if (!bInitialised.load()) return;
  NoteWaiting("~CSimpleCritSec");
  critSec.Lock();
  ClearWaiting();
  bInitialised.store(false);
  critSec.Unlock();
}

void CSimpleCritSec::Lock(const char* site) {
  if (!bInitialised.load()) return;
  NoteWaiting(site);
  critSec.Lock();
  NoteObtained(site);
}

bool CSimpleCritSec::TryLock(const char* site) {
  if (!bInitialised.load() || !critSec.TryLock()) return false;
  NoteObtained(site);
  return true;
}

void CSimpleCritSec::Unlock() {
  if (!bInitialised.load()) return;
  ClearOwnerSite();
  critSec.Unlock();
}

// ---- Scoped holders ----

CGrabSimpleMutex::CGrabSimpleMutex(CSimpleMutexBase* lock, const char* site) : pLock(lock) {
  if (pLock) pLock->LockEntry(site);
}

CGrabSimpleMutex::~CGrabSimpleMutex() {
  if (pLock) pLock->UnlockEntry();
}

CGrabSimpleCritSec::CGrabSimpleCritSec(CSimpleCritSec* lock, const char* site) : pLock(lock) {
  if (pLock) pLock->LockEntry(site);
}

CGrabSimpleCritSec::~CGrabSimpleCritSec() {
  if (pLock) pLock->UnlockEntry();
}
