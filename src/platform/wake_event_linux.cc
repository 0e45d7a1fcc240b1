#include "platform/wake_event.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/clock.h"
#include "platform/socket_wait_set.h"

CWakeEvent::CWakeEvent() : descriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void CWakeEvent::Set() {
  if (!descriptor.IsValid()) return;
  const uint64_t one = 1;
  // A full counter (never reached in practice) already means "set".
  while (write(descriptor.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

bool CWakeEvent::Consume() {
  uint64_t count = 0;
  return descriptor.IsValid() && read(descriptor.Get(), &count, sizeof(count)) == sizeof(count);
}

bool CWakeEvent::Wait(int milliseconds) { return WaitWith(-1, milliseconds).bSet; }

WakeResult CWakeEvent::WaitWith(int other, int milliseconds) {
  const uint64_t deadline = GetMonotonicMilliseconds() + static_cast<uint64_t>(milliseconds);
  WakeResult result;
  for (;;) {
    const int transfers = pTransfers != nullptr ? pTransfers->Waitable() : -1;
    pollfd fds[3] = {{descriptor.Get(), POLLIN, 0}, {other, POLLIN, 0}, {transfers, POLLIN, 0}};
    int timeout = -1;
    if (milliseconds >= 0) {
      const uint64_t now = GetMonotonicMilliseconds();
      timeout = now >= deadline ? 0 : static_cast<int>(deadline - now);
    }
    // poll() ignores entries with a negative descriptor.
    const int ready = poll(fds, 3, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return result;
    result.bOther = (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    result.bTransfers = (fds[2].revents & POLLIN) != 0;
    // Another waiter may have taken the Set first: then wait on.
    result.bSet = (fds[0].revents & POLLIN) != 0 && Consume();
    if (result.bSet || result.bOther || result.bTransfers) return result;
  }
}
