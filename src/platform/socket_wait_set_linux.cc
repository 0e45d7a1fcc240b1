#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "platform/socket_wait_set.h"

namespace {

// Ready sockets taken per look; more stay ready for the next one.
constexpr int kMaxEventsPerTake = 64;

uint32_t EpollEvents(bool in, bool out) {
  return (in ? static_cast<uint32_t>(EPOLLIN) : 0u) | (out ? static_cast<uint32_t>(EPOLLOUT) : 0u);
}

}  // namespace

CSocketWaitSet::CSocketWaitSet() : waitable(epoll_create1(EPOLL_CLOEXEC)) {}

CSocketWaitSet::~CSocketWaitSet() = default;

void CSocketWaitSet::Watch(int socket, bool in, bool out) {
  if (!in && !out) {
    Forget(socket);
    return;
  }
  if (!IsValid()) return;
  epoll_event event{};
  event.events = EpollEvents(in, out);
  event.data.fd = socket;
  const bool known = watched.count(socket) != 0;
  if (epoll_ctl(waitable.Get(), known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket, &event) != 0) {
    // The library may reuse a descriptor number that the kernel already dropped
    // from the set when the old socket was closed.
    const int retry = errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (epoll_ctl(waitable.Get(), retry, socket, &event) != 0) return;
  }
  watched[socket] = Interest{in, out};
}

void CSocketWaitSet::Forget(int socket) {
  if (watched.erase(socket) == 0 || !IsValid()) return;
  epoll_ctl(waitable.Get(), EPOLL_CTL_DEL, socket, nullptr);
}

std::vector<SocketReadiness> CSocketWaitSet::TakeReady() {
  std::vector<SocketReadiness> ready;
  if (!IsValid() || watched.empty()) return ready;
  epoll_event events[kMaxEventsPerTake];
  int count = 0;
  do {
    count = epoll_wait(waitable.Get(), events, kMaxEventsPerTake, 0);
  } while (count < 0 && errno == EINTR);
  for (int i = 0; i < count; ++i) {
    const uint32_t flags = events[i].events;
    SocketReadiness one;
    one.nSocket = events[i].data.fd;
    one.bIn = (flags & (EPOLLIN | EPOLLHUP | EPOLLRDHUP)) != 0;
    one.bOut = (flags & EPOLLOUT) != 0;
    one.bError = (flags & EPOLLERR) != 0;
    ready.push_back(one);
  }
  return ready;
}
