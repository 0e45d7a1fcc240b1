// CWakeEvent: an auto-reset event that one blocking wait can combine with another
// source, such as a file watcher's descriptor, so the wait ends on whichever comes
// first. Set wakes one wait, which consumes it; a Set with no waiter stays until
// the next wait, and several Sets before a wait count as one.
//
// If the OS refuses the event (no descriptors left), IsValid is false, Set does
// nothing and waits end only by their timeout or by the other source: callers
// then fall back to polling at their timeout.
//
// Threads: Set from any thread; the waits from one thread at a time (the owner).
#ifndef QUILLRADE_PLATFORM_WAKE_EVENT_H_
#define QUILLRADE_PLATFORM_WAKE_EVENT_H_

#include "platform/unique_fd.h"

// What ended a WaitWith.
struct WakeResult {
  bool bSet = false;    // the event was set (and is consumed now)
  bool bOther = false;  // the other descriptor is readable (left for its owner)
};

class CWakeEvent {
 public:
  CWakeEvent();
  CWakeEvent(const CWakeEvent&) = delete;
  CWakeEvent& operator=(const CWakeEvent&) = delete;

  bool IsValid() const { return descriptor.IsValid(); }
  void Set();
  // Waits up to `milliseconds` (negative = without limit). True when the event
  // was set; it is consumed.
  bool Wait(int milliseconds);
  // Waits up to `milliseconds` (negative = without limit) for the event or for
  // the descriptor `other` (-1 = none) to become readable. For the platform
  // layer's own waits; both flags clear means the time ran out.
  WakeResult WaitWith(int other, int milliseconds);

 private:
  // Takes a pending Set; true when there was one.
  bool Consume();

  CUniqueFd descriptor;
};

#endif  // QUILLRADE_PLATFORM_WAKE_EVENT_H_
