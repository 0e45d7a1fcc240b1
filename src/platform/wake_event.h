// CWakeEvent: an auto-reset event that one blocking wait can combine with another
// source, such as a file watcher's descriptor, so the wait ends on whichever comes
// first. Set wakes one wait, which consumes it; a Set with no waiter stays until
// the next wait, and several Sets before a wait count as one.
//
// If the OS refuses the event (no descriptors left), IsValid is false, Set does
// nothing and waits end only by their timeout or by the other source: callers
// then fall back to polling at their timeout.
//
// A CSocketWaitSet attached with WakeOnTransfers makes every wait end also when
// one of its sockets is ready (reported as bTransfers, left for the set's owner).
//
// Threads: Set from any thread; the waits and the attaching from one thread at a
// time (the owner).
#ifndef QUILLRADE_PLATFORM_WAKE_EVENT_H_
#define QUILLRADE_PLATFORM_WAKE_EVENT_H_

#include "platform/unique_fd.h"

class CSocketWaitSet;

// What ended a WaitWith.
struct WakeResult {
  bool bSet = false;        // the event was set (and is consumed now)
  bool bOther = false;      // the other descriptor is readable (left for its owner)
  bool bTransfers = false;  // a socket of the attached set is ready (left for its owner)
};

class CWakeEvent {
 public:
  CWakeEvent();
  CWakeEvent(const CWakeEvent&) = delete;
  CWakeEvent& operator=(const CWakeEvent&) = delete;

  bool IsValid() const { return descriptor.IsValid(); }
  void Set();
  // Not owned; null detaches. The set must outlive the attachment.
  void WakeOnTransfers(const CSocketWaitSet* sockets) { pTransfers = sockets; }
  // Waits up to `milliseconds` (negative = without limit). True when the event
  // was set; it is consumed. Ready transfers end it early with false.
  bool Wait(int milliseconds);
  // Waits up to `milliseconds` (negative = without limit) for the event or for
  // the descriptor `other` (-1 = none) to become readable. For the platform
  // layer's own waits; both flags clear means the time ran out.
  WakeResult WaitWith(int other, int milliseconds);

 private:
  // Takes a pending Set; true when there was one.
  bool Consume();

  CUniqueFd descriptor;
  const CSocketWaitSet* pTransfers = nullptr;
};

#endif  // QUILLRADE_PLATFORM_WAKE_EVENT_H_
