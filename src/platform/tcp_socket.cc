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

namespace {

// Outcome of one non-blocking transfer call, with errno already interpreted.
enum class Transfer { kMoved, kInterrupted, kWouldBlock, kPeerClosed, kFailed };

Transfer Classify(ssize_t result) {
  if (result > 0) return Transfer::kMoved;
  if (result == 0) return Transfer::kPeerClosed;
  if (errno == EINTR) return Transfer::kInterrupted;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return Transfer::kWouldBlock;
  return Transfer::kFailed;
}

}  // namespace

CTcpSocket::CTcpSocket(CUniqueFd descriptor, size_t outgoingCapacity, size_t incomingCapacity)
    : descriptor(std::move(descriptor)),
      nOutgoingCapacity(outgoingCapacity),
      nIncomingCapacity(incomingCapacity) {
  if (!this->descriptor.IsValid()) nState = kTcpStateNoConnection;
}

int CTcpSocket::Poll() {
  if (nState == kTcpStateConnected || nState == kTcpStateClosing) FlushOutgoing();
  if (nState == kTcpStateConnected || nState == kTcpStateClosing) FetchIncoming();
  if (nState == kTcpStateClosing && PendingOutput() == 0) FinishGracefulClose();
  return nState;
}

size_t CTcpSocket::Send(const char* bytes, size_t length) {
  if (nState != kTcpStateConnected || length == 0) return 0;
  // With nothing queued the bytes go straight to the network, so output is not
  // held back until the next Poll.
  const size_t direct = PendingOutput() == 0 ? WriteToNetwork(bytes, length) : 0;
  if (nState != kTcpStateConnected) return direct;
  const size_t room = nOutgoingCapacity - std::min(nOutgoingCapacity, PendingOutput());
  const size_t queued = std::min(room, length - direct);
  outgoing.append(bytes + direct, queued);
  nDroppedBytes += length - direct - queued;
  return direct + queued;
}

size_t CTcpSocket::Read(char* buffer, size_t maximum) {
  const size_t taken = std::min(maximum, incoming.size());
  std::memcpy(buffer, incoming.data(), taken);
  incoming.erase(incoming.begin(), incoming.begin() + static_cast<ptrdiff_t>(taken));
  return taken;
}

void CTcpSocket::Close(bool graceful) {
  if (!descriptor.IsValid()) return;
  if (!graceful) {
    Release(kTcpStateClosed);
    return;
  }
  nState = kTcpStateClosing;
  Poll();
}

// Writes until the network refuses more; a failed write puts the connection into
// the error state. Returns the bytes written.
size_t CTcpSocket::WriteToNetwork(const char* bytes, size_t length) {
  size_t written = 0;
  while (written < length) {
    const ssize_t result =
        send(descriptor.Get(), bytes + written, length - written, MSG_NOSIGNAL | MSG_DONTWAIT);
    const Transfer outcome = Classify(result);
    if (outcome == Transfer::kMoved) {
      written += static_cast<size_t>(result);
    } else if (outcome == Transfer::kInterrupted) {
      continue;
    } else if (outcome == Transfer::kWouldBlock) {
      break;
    } else {
      Release(kTcpStateError);
      break;
    }
  }
  return written;
}

void CTcpSocket::FlushOutgoing() {
  if (PendingOutput() == 0) return;
  nOutgoingHead += WriteToNetwork(outgoing.data() + nOutgoingHead, PendingOutput());
  if (nOutgoingHead == outgoing.size()) {
    outgoing.clear();
    nOutgoingHead = 0;
  } else if (nOutgoingHead > outgoing.size() / 2) {
    outgoing.erase(0, nOutgoingHead);
    nOutgoingHead = 0;
  }
}

void CTcpSocket::FetchIncoming() {
  while (descriptor.IsValid() && incoming.size() < nIncomingCapacity) {
    const size_t have = incoming.size();
    incoming.resize(nIncomingCapacity);
    const ssize_t result =
        recv(descriptor.Get(), incoming.data() + have, nIncomingCapacity - have, MSG_DONTWAIT);
    const Transfer outcome = Classify(result);
    incoming.resize(have + (outcome == Transfer::kMoved ? static_cast<size_t>(result) : 0));
    if (outcome == Transfer::kInterrupted) continue;
    if (outcome == Transfer::kWouldBlock) return;
    if (outcome == Transfer::kPeerClosed) Release(kTcpStateClosed);
    if (outcome == Transfer::kFailed) Release(kTcpStateError);
  }
}

void CTcpSocket::FinishGracefulClose() {
  shutdown(descriptor.Get(), SHUT_WR);
  Release(kTcpStateClosed);
}

void CTcpSocket::Release(int state) {
  descriptor.Reset();
  nState = state;
  outgoing.clear();
  nOutgoingHead = 0;
}

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

std::unique_ptr<CTcpListenSocket> CTcpListenSocket::Open(int port, const std::string& address) {
  if (port <= 0 || port > 65535) return nullptr;
  in_addr listenAddress{htonl(INADDR_ANY)};
  if (!address.empty() && inet_pton(AF_INET, address.c_str(), &listenAddress) != 1) return nullptr;
  CUniqueFd listening(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listening.IsValid()) return nullptr;
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
    return nullptr;
  }
  return std::make_unique<CTcpListenSocket>(std::move(listening), port);
}

std::unique_ptr<CTcpSocket> CTcpListenSocket::Accept(size_t outgoingCapacity,
                                                     size_t incomingCapacity) {
  CUniqueFd accepted(accept4(descriptor.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
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
  const CUniqueFd poking(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
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
