#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include <algorithm>
#include <climits>

#include "platform/socket_io.h"

namespace {

Transfer Classify(ssize_t result) {
  if (result > 0) return Transfer::kMoved;
  if (result == 0) return Transfer::kPeerClosed;
  if (errno == EINTR) return Transfer::kInterrupted;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return Transfer::kWouldBlock;
  return Transfer::kFailed;
}

}  // namespace

Transfer SendSome(int socket, const char* bytes, size_t length, size_t* moved) {
  const ssize_t result = send(socket, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (result > 0) *moved = static_cast<size_t>(result);
  return Classify(result);
}

Transfer ReceiveSome(int socket, char* buffer, size_t capacity, size_t* moved) {
  const ssize_t result = recv(socket, buffer, capacity, MSG_DONTWAIT);
  if (result > 0) *moved = static_cast<size_t>(result);
  return Classify(result);
}

void ShutdownSending(int socket) { shutdown(socket, SHUT_WR); }

CSocketWake::CSocketWake() : descriptor(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void CSocketWake::Set() {
  const uint64_t one = 1;
  // A full counter already wakes the waiter, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = write(descriptor.Get(), &one, sizeof(one));
}

void CSocketWake::Consume() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = read(descriptor.Get(), &count, sizeof(count));
}

bool IsIPv4Address(const std::string& text) {
  in_addr parsed{};
  return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

std::unique_ptr<CTcpListenSocket> CTcpListenSocket::Listen(int port, const std::string& address,
                                                           int* error) {
  in_addr listenAddress{htonl(INADDR_ANY)};
  if (!address.empty()) inet_pton(AF_INET, address.c_str(), &listenAddress);
  CUniqueSocket listening(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listening.IsValid()) {
    *error = errno;
    return nullptr;
  }
  // On Linux a live listener still refuses the bind with SO_REUSEADDR set; without
  // it a port left in TIME_WAIT by an earlier run would be skipped for minutes.
  const int one = 1;
  setsockopt(listening.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_addr = listenAddress;
  bound.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(listening.Get(), reinterpret_cast<const sockaddr*>(&bound), sizeof(bound)) != 0 ||
      listen(listening.Get(), kBacklog) != 0) {
    *error = errno;
    return nullptr;
  }
  return std::make_unique<CTcpListenSocket>(std::move(listening), port);
}

std::unique_ptr<CTcpSocket> CTcpListenSocket::Accept(size_t outgoingCapacity,
                                                     size_t incomingCapacity) {
  CUniqueSocket accepted(accept4(descriptor.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!accepted.IsValid()) {
    bAcceptRefused =
        errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED;
    return nullptr;
  }
  // The system's own send buffer would otherwise grow to megabytes for a peer
  // that never reads; bounded like ours, a stalled peer shows as a full buffer
  // soon and costs little.
  const int sendBuffer = static_cast<int>(std::min<size_t>(outgoingCapacity, INT_MAX / 2));
  setsockopt(accepted.Get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
  return std::make_unique<CTcpSocket>(std::move(accepted), outgoingCapacity, incomingCapacity);
}

void CTcpListenSocket::WaitForConnection(CSocketWake& wake, int timeoutMs) {
  pollfd watched[2] = {{wake.descriptor.Get(), POLLIN, 0},
                       {bAcceptRefused ? -1 : descriptor.Get(), POLLIN, 0}};
  bAcceptRefused = false;
  while (poll(watched, 2, timeoutMs) < 0 && errno == EINTR) {
  }
  if (watched[0].revents != 0) wake.Consume();
}

bool PokeLoopbackPort(int port, int timeoutMs) {
  const CUniqueSocket poking(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!poking.IsValid()) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected =
      connect(poking.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd wait{poking.Get(), POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof(error);
    connected = poll(&wait, 1, timeoutMs) == 1 &&
                getsockopt(poking.Get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  return connected;
}
