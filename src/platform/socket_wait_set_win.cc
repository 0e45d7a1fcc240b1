#include <winsock2.h>

#include "platform/socket_wait_set.h"
#include "platform/win_handle.h"

namespace {

SOCKET ToSocket(int descriptor) { return static_cast<SOCKET>(static_cast<intptr_t>(descriptor)); }

long NetworkEvents(bool in, bool out) {
  return (in ? FD_READ | FD_ACCEPT | FD_CLOSE : 0) | (out ? FD_WRITE | FD_CONNECT : 0);
}

}  // namespace

// Manual reset: the event stays signalled until TakeReady has looked at every
// socket, so readiness is never lost between a wake and the look.
CSocketWaitSet::CSocketWaitSet()
    : waitable(HandleToDescriptor(CreateEventA(nullptr, TRUE, FALSE, nullptr))) {}

CSocketWaitSet::~CSocketWaitSet() {
  for (const auto& [socket, interest] : watched) WSAEventSelect(ToSocket(socket), nullptr, 0);
}

// Selecting again also records a condition that already holds (data waiting, a
// writable socket), so a wait after it cannot miss what came before.
void CSocketWaitSet::Watch(int socket, bool in, bool out) {
  if (!in && !out) {
    Forget(socket);
    return;
  }
  if (!IsValid()) return;
  if (WSAEventSelect(ToSocket(socket), DescriptorToHandle(waitable.Get()),
                     NetworkEvents(in, out)) != 0) {
    return;
  }
  watched[socket] = Interest{in, out};
}

void CSocketWaitSet::Forget(int socket) {
  if (watched.erase(socket) == 0) return;
  WSAEventSelect(ToSocket(socket), nullptr, 0);
}

std::vector<SocketReadiness> CSocketWaitSet::TakeReady() {
  std::vector<SocketReadiness> ready;
  if (!IsValid() || watched.empty()) return ready;
  ResetEvent(DescriptorToHandle(waitable.Get()));
  for (const auto& [socket, interest] : watched) {
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(ToSocket(socket), nullptr, &events) != 0) continue;
    const long happened = events.lNetworkEvents;
    if (happened == 0) continue;
    SocketReadiness one;
    one.nSocket = socket;
    one.bIn = (happened & (FD_READ | FD_ACCEPT | FD_CLOSE)) != 0;
    one.bOut = (happened & (FD_WRITE | FD_CONNECT)) != 0;
    one.bError = (happened & FD_CONNECT) != 0 && events.iErrorCode[FD_CONNECT_BIT] != 0;
    ready.push_back(one);
  }
  // Conditions that still hold are recorded again, so the next wait sees them.
  for (const auto& [socket, interest] : watched) {
    WSAEventSelect(ToSocket(socket), DescriptorToHandle(waitable.Get()),
                   NetworkEvents(interest.bIn, interest.bOut));
  }
  return ready;
}
