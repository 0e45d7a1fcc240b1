// Named worker threads. A CSimpleThread owns an OS thread, a wake event and a
// running flag, and runs a CSimpleThreadHandler's Run operation on it. The handler
// loops while Wait() (or IsRunning()) returns true.
//
// Run executes inside a catch-all: a C++ exception (and, with the crash reporter,
// a fatal signal) escaping it is handed to the process-wide crash report with the
// thread's name; it never passes silently.
//
// Threads: Start, Stop, the setters and SetPriority are called by the owning
// thread; Wake and SignalStop by any thread; Wait and IsRunning by the running
// handler.
#ifndef QUILLRADE_RUNTIME_SIMPLE_THREAD_H_
#define QUILLRADE_RUNTIME_SIMPLE_THREAD_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"

class CSimpleThread;
class CPlatformThread;
class CAutoResetEvent;
class CWakeEvent;

class CSimpleThreadHandler {
 public:
  virtual ~CSimpleThreadHandler() = default;
  // Called on the new thread; returns when the thread has been asked to stop.
  virtual void Run(CSimpleThread* thread) = 0;
};

// Priority values (requested priority and SetPriority).
constexpr int kThreadPriorityIdle = -15;
constexpr int kThreadPriorityLowest = -2;
constexpr int kThreadPriorityBelowNormal = -1;
constexpr int kThreadPriorityNormal = 0;
constexpr int kThreadPriorityAboveNormal = 1;
constexpr int kThreadPriorityHighest = 2;
constexpr int kThreadPriorityTimeCritical = 15;
constexpr int kThreadPriorityAudioLow = 0x10000;  // 0x10000..0x10007: audio classes
constexpr int kThreadPriorityProAudioCritical = 0x10007;
constexpr int kThreadPriorityActualBase = 4096;  // 4096 + n: absolute level n, 0..31

// Display name of a priority value: "IDLE", "ACTUAL 20", "Unknown (7)", or
// "RT %i" when the process runs under a real-time policy.
std::string GetThreadPriorityName(int value);
// Applies a relative priority value (as SetPriority: 16 and above as 15) to the
// calling thread, best effort; for threads that a library starts (HTTP workers).
void SetCurrentThreadPriority(int value);
// The same for a given class: `realTimeClass` gives the "RT %i" names.
std::string GetThreadPriorityNameFor(int value, bool realTimeClass);

class CSimpleThread {
 public:
  CSimpleThread();
  // Performs Stop.
  virtual ~CSimpleThread();
  CSimpleThread(const CSimpleThread&) = delete;
  CSimpleThread& operator=(const CSimpleThread&) = delete;

  void SetName(const std::string& name);
  const std::string& Name() const { return strName; }
  void SetHandler(CSimpleThreadHandler* handler) { pHandler = handler; }
  void SetRequestedPriority(int priority) { nRequestedPriority = priority; }
  void SetAffinityMask(int mask) { nAffinityMask = mask; }
  void SetIdealProcessor(int processor) { nIdealProcessor = processor; }

  // Starts the thread and returns once it is running: 0 on success, 1 on failure.
  int Start();
  // Why the last Start failed; ok when it did not.
  const CResult& StartFailure() const { return startFailure; }
  // The running flag: true from Start until a stop is requested.
  bool IsRunning() const { return nRunning.load() != 0; }
  // Blocks on the wake event up to `milliseconds`; returns the running flag.
  bool Wait(int milliseconds);
  // Sets the wake event when the thread is active (one Wake ends one Wait; a Wake
  // with no waiter is kept for the next Wait).
  void Wake();
  // Clears the running flag and wakes the thread; does not wait.
  void SignalStop();
  // An event that every Wake and stop request sets as well, for a handler that
  // waits on more than this thread (a file watcher, CFileWatcher::Wait) instead
  // of calling Wait. Lives as long as this object.
  CWakeEvent& WakeSignal() { return *wakeSignal; }
  // Requests a stop and waits (10 ms polling) until Run has returned. Returns at
  // once for a thread that was never started.
  void Stop();
  // Applies a priority at once when the thread exists, else at Start.
  void SetPriority(int value);

  int RequestedPriority() const { return nRequestedPriority; }
  int AppliedPriority() const { return nAppliedPriority.load(); }
  bool IsActive() const { return nActive.load() != 0; }
  bool IsStopping() const { return bStopping.load(); }
  bool TimedOut() const { return bTimedOut.load(); }
  bool InWait() const { return bInWait.load(); }
  int LastWait() const { return nLastWait.load(); }
  uint32_t ThreadId() const { return nThreadId.load(); }
  bool HasHandle() const { return thread != nullptr; }

  // The CSimpleThread whose Run executes on the calling thread, or null.
  static CSimpleThread* Current();

 private:
  void ThreadBody();
  // Run inside the catch-all that hands an escaping exception to the crash report.
  void RunHandlerGuarded();

  // Set before Start, constant while the thread runs.
  std::string strName;
  CSimpleThreadHandler* pHandler = nullptr;  // not owned
  int nStackSize = 0;
  int nRequestedPriority = 0;
  int nAffinityMask = 0;
  int nIdealProcessor = -1;

  std::unique_ptr<CPlatformThread> thread;  // null before Start and after Stop
  CResult startFailure;                     // owner's thread only
  std::unique_ptr<CAutoResetEvent> wakeEvent;
  std::unique_ptr<CWakeEvent> wakeSignal;
  std::unique_ptr<CAutoResetEvent> startedEvent;

  // Shared between the owner and the thread.
  std::atomic<bool> bStopping{false};
  std::atomic<uint32_t> nStopBegin{0};
  std::atomic<int> nLastWait{0};
  std::atomic<int> nRunning{0};
  std::atomic<int> nActive{0};
  std::atomic<uint32_t> nThreadId{0};
  std::atomic<int> nAppliedPriority{0};
  std::atomic<bool> bTimedOut{false};
  std::atomic<bool> bInWait{false};
};

#endif  // QUILLRADE_RUNTIME_SIMPLE_THREAD_H_
