// OS threads for CSimpleThread: created behind a start gate (like a suspended
// thread), so the creator can apply priority and affinity before the body runs;
// plus the priority mapping and the process-wide scheduling queries.
//
// Priorities are best effort. Relative levels map to: -15 SCHED_IDLE, -2 nice 10,
// -1 nice 5, 0 nice 0, 1 nice -5, 2 nice -10, 15 nice -20 (values between round
// toward the nearer named level). Raising priority needs privilege; a refusal is
// reported as false and the thread keeps its priority.
// Absolute levels use SCHED_RR with the level clamped to the system's range.
//
// Threads: a CPlatformThread is driven by the thread that created it.
#ifndef QUILLRADE_PLATFORM_THREAD_H_
#define QUILLRADE_PLATFORM_THREAD_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/result.h"

class CPlatformThread {
 public:
  // Starts a thread that waits at the gate; `body` runs once Resume is called.
  // Returns null when the OS cannot create the thread, with the reason in `why`
  // when given. `stackSize` 0 = default.
  static std::unique_ptr<CPlatformThread> CreateSuspended(std::function<void()> body,
                                                          size_t stackSize, CResult* why = nullptr);
  // Joins the thread. A thread never resumed ends without running its body.
  ~CPlatformThread();
  CPlatformThread(const CPlatformThread&) = delete;
  CPlatformThread& operator=(const CPlatformThread&) = delete;

  // Opens the start gate.
  void Resume();
  // The kernel thread id (gettid of the new thread); known as soon as created.
  uint32_t ThreadId() const;
  // Relative priority (-15 .. 15); false when the OS refused it.
  bool SetPriority(int osPriority);
  // Absolute level (SCHED_RR); false when refused.
  bool SetAbsoluteLevel(int level);
  // Bit n of `mask` = CPU n; false when refused.
  bool SetAffinity(uint64_t mask);

  struct Shared;

 private:
  CPlatformThread();
  std::unique_ptr<Shared> shared;
};

// Sets an absolute level (SCHED_RR) on the calling thread; false when refused.
bool SetCurrentThreadAbsoluteLevel(int level);
// Whether absolute levels can be set at all (probed once per process, on a
// short-lived thread of its own so no real thread's scheduling is touched).
bool IsAbsolutePriorityAvailable();
// True when the process runs under SCHED_FIFO or SCHED_RR.
bool IsProcessRealTimeClass();
// Relative priority (-15 .. 15) for the calling thread; false when refused.
bool SetCurrentThreadOsPriority(int osPriority);
// Names the calling thread for debuggers and `ps` (cut to 15 bytes).
void SetCurrentThreadName(const char* name);
// The kernel thread id of the calling thread.
uint32_t CurrentThreadId();

#endif  // QUILLRADE_PLATFORM_THREAD_H_
