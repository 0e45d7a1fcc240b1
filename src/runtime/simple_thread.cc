#include "runtime/simple_thread.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/wake_event.h"
#include "util/crash_reporter.h"

namespace {

// Absolute levels are 4096 + n with n in 0 .. kActualLevelCount - 1.
constexpr int kActualLevelCount = 32;
// How often Stop looks whether the run operation has returned.
constexpr int kStopPollMilliseconds = 10;

thread_local CSimpleThread* t_currentThread = nullptr;

bool IsActualPriority(int value) {
  return value >= kThreadPriorityActualBase &&
         value < kThreadPriorityActualBase + kActualLevelCount;
}

// The relative OS priority a requested value starts the thread at (absolute
// levels are applied by the thread itself afterwards).
int StartPriorityFor(int value) {
  if (IsActualPriority(value)) {
    const int level = value - kThreadPriorityActualBase;
    if (level >= 15) return kThreadPriorityTimeCritical;
    if (level >= 2) return kThreadPriorityHighest;
    return level;
  }
  return value < 16 ? value : kThreadPriorityTimeCritical;
}

std::string FormatName(const char* format, int value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

const char* FixedPriorityName(int value) {
  switch (value) {
    case kThreadPriorityIdle:
      return "IDLE";
    case kThreadPriorityLowest:
      return "LOWEST";
    case kThreadPriorityBelowNormal:
      return "BELOW_NORMAL";
    case kThreadPriorityNormal:
      return "NORMAL";
    case kThreadPriorityAboveNormal:
      return "ABOVE_NORMAL";
    case kThreadPriorityHighest:
      return "HIGHEST";
    case kThreadPriorityTimeCritical:
      return "TIME_CRITICAL";
    case 0x10000:
      return "AUDIO_LOW";
    case 0x10001:
      return "AUDIO_NORMAL";
    case 0x10002:
      return "AUDIO_HIGH";
    case 0x10003:
      return "AUDIO_CRITICAL";
    case 0x10004:
      return "PRO_AUDIO_LOW";
    case 0x10005:
      return "PRO_AUDIO_NORMAL";
    case 0x10006:
      return "PRO_AUDIO_HIGH";
    case 0x10007:
      return "PRO_AUDIO_CRITICAL";
    default:
      return nullptr;
  }
}

}  // namespace

std::string GetThreadPriorityNameFor(int value, bool realTimeClass) {
  if (realTimeClass) {
    const long long level = static_cast<long long>(value) + 24;
    return FormatName("RT %i", static_cast<int>(std::clamp<long long>(level, 16, 31)));
  }
  if (const char* name = FixedPriorityName(value)) return name;
  if (IsActualPriority(value)) return FormatName("ACTUAL %i", value - kThreadPriorityActualBase);
  return FormatName("Unknown (%i)", value);
}

std::string GetThreadPriorityName(int value) {
  return GetThreadPriorityNameFor(value, IsProcessRealTimeClass());
}

void SetCurrentThreadPriority(int value) {
  SetCurrentThreadOsPriority(value < 16 ? value : kThreadPriorityTimeCritical);
}

CSimpleThread::CSimpleThread()
    : wakeEvent(std::make_unique<CAutoResetEvent>()),
      wakeSignal(std::make_unique<CWakeEvent>()),
      startedEvent(std::make_unique<CAutoResetEvent>()) {}

CSimpleThread::~CSimpleThread() { Stop(); }

void CSimpleThread::SetName(const std::string& name) { strName = name; }

CSimpleThread* CSimpleThread::Current() { return t_currentThread; }

int CSimpleThread::Start() {
  if (thread) {
    // A thread object may only run once at a time.
    if (nActive.load() != 0) {
      startFailure = CResult::Failure(CResultCode::kInvalidArgument, "start thread " + strName,
                                      "it is running already");
      return 1;
    }
    thread.reset();
  }
  nRunning.store(1);
  startFailure = CResult::Ok();
  thread = CPlatformThread::CreateSuspended(
      [this] { ThreadBody(); }, static_cast<size_t>(std::max(nStackSize, 0)), &startFailure);
  if (!thread) {
    nRunning.store(0);
    return 1;
  }
  nThreadId.store(thread->ThreadId());
  if (nRequestedPriority != 0) {
    const int osPriority = StartPriorityFor(nRequestedPriority);
    thread->SetPriority(osPriority);  // best effort: a refusal keeps the default
    nAppliedPriority.store(osPriority);
  }
  if (nAffinityMask != 0) thread->SetAffinity(static_cast<uint32_t>(nAffinityMask));
  // An ideal processor has no Linux counterpart; the affinity mask is the only
  // placement applied.
  wakeEvent->Reset();
  thread->Resume();
  startedEvent->Wait(-1);
  return 0;
}

void CSimpleThread::ThreadBody() {
  nActive.fetch_add(1);
  if (IsActualPriority(nRequestedPriority) && IsAbsolutePriorityAvailable() &&
      SetCurrentThreadAbsoluteLevel(nRequestedPriority - kThreadPriorityActualBase)) {
    nAppliedPriority.store(nRequestedPriority);
  }
  startedEvent->Set();
  SetCurrentThreadName(strName.c_str());
  t_currentThread = this;
  RunHandlerGuarded();
  t_currentThread = nullptr;
  nActive.fetch_sub(1);
}

void CSimpleThread::RunHandlerGuarded() {
  const char* name = strName.c_str();
  CrashGuardEnterThread(name);
  try {
    if (pHandler) pHandler->Run(this);
  } catch (const std::exception& error) {
    ReportCppException(name, error.what());
  } catch (...) {
    ReportCppException(name, nullptr);
  }
  CrashGuardLeaveThread();
}

bool CSimpleThread::Wait(int milliseconds) {
  nLastWait.store(milliseconds);
  bInWait.store(true);
  const bool woken = wakeEvent->Wait(milliseconds);
  bInWait.store(false);
  bTimedOut.store(!woken);
  return IsRunning();
}

void CSimpleThread::Wake() {
  if (nActive.load() == 0) return;
  wakeEvent->Set();
  wakeSignal->Set();
}

void CSimpleThread::SignalStop() {
  nRunning.store(0);
  if (nActive.load() == 0) return;
  wakeEvent->Set();
  wakeSignal->Set();
}

void CSimpleThread::Stop() {
  SignalStop();
  const uint32_t tick = GetTickCount32();
  nStopBegin.store(tick == 0 ? 0xFFFFFFFFu : tick);
  bStopping.store(true);
  while (nActive.load() != 0) {
    nRunning.store(0);
    SleepMilliseconds(kStopPollMilliseconds);
  }
  thread.reset();  // joins: the body has returned from Run
  nThreadId.store(0);
  bStopping.store(false);
  nStopBegin.store(0);
}

void CSimpleThread::SetPriority(int value) {
  nRequestedPriority = value;
  if (IsActualPriority(value)) {
    // Before Start the thread body applies it.
    if (thread && IsAbsolutePriorityAvailable() &&
        thread->SetAbsoluteLevel(value - kThreadPriorityActualBase)) {
      nAppliedPriority.store(value);
    }
    return;
  }
  const int osPriority = value < 16 ? value : kThreadPriorityTimeCritical;
  if (thread) thread->SetPriority(osPriority);
  nAppliedPriority.store(osPriority);
}
