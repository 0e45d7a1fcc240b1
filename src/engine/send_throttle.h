// CSendThrottle: a task's ceiling of one send per 100 ms, with a leading and a
// trailing edge. A task that has sent nothing for 100 ms may send at once; after
// a send it waits until NextSendTime. Whoever sends for the task (its pass, a
// retry of an unreachable target) asks MaySendNow first and calls RecordSend
// after; the main loop wakes at the earliest NextSendTime of the tasks it had to
// defer, so the latest change goes out on the trailing edge.
//
// Times are GetMonotonicMilliseconds() values, passed in so that every caller of
// one decision uses one instant. Threads: the main thread only.
#ifndef QUILLRADE_ENGINE_SEND_THROTTLE_H_
#define QUILLRADE_ENGINE_SEND_THROTTLE_H_

#include <cstdint>

class CSendThrottle {
 public:
  // Shortest spacing of two sends of one task: the pace of the old fixed pass,
  // which targets were built to take.
  static constexpr uint64_t kMinSpacingMs = 100;

  bool MaySendNow(uint64_t nowMs) const { return !bSent || nowMs >= NextSendTime(); }
  void RecordSend(uint64_t nowMs) {
    bSent = true;
    nLastSendMs = nowMs;
  }
  // The first instant a send is allowed again (0 before the first send).
  uint64_t NextSendTime() const { return bSent ? nLastSendMs + kMinSpacingMs : 0; }

 private:
  bool bSent = false;
  uint64_t nLastSendMs = 0;
};

#endif  // QUILLRADE_ENGINE_SEND_THROTTLE_H_
