#include "support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "support/bounded_wait.h"

namespace {

// FindFreePortBlock's blocks: kPortBlocks blocks of kPortBlockSize ports each,
// all below Linux's ephemeral range (32768 and up), so that no listener bound to
// port 0 and no outgoing connection of a test running beside can land in a
// block, and they stay clear of the service's own ports 7370-7379 and 32700+.
constexpr int kFirstBlockPort = 10240;
constexpr int kPortBlockSize = 128;
constexpr int kPortBlocks = 174;

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

bool CLoopbackListener::Reserve() {
  Close();
  nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (nFd < 0) return false;
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof(address);
  if (bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(nFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Close();
    return false;
  }
  nPort = ntohs(address.sin_port);
  return true;
}

bool CLoopbackListener::Listen(int backlog) {
  if (nFd < 0 && !Reserve()) return false;
  if (listen(nFd, backlog) == 0) return true;
  Close();
  return false;
}

void CLoopbackListener::Close() {
  if (nFd >= 0) close(nFd);
  nFd = -1;
}

int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

CLoopbackClient::CLoopbackClient(int port, int receiveBuffer, int sendBuffer) {
  nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (nFd < 0) return;
  if (receiveBuffer > 0) {
    setsockopt(nFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  }
  if (sendBuffer > 0) setsockopt(nFd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
  const sockaddr_in address = LoopbackAddress(port);
  bConnected = connect(nFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  fcntl(nFd, F_SETFL, fcntl(nFd, F_GETFL) | O_NONBLOCK);
}

void CLoopbackClient::Close() {
  if (nFd >= 0) close(nFd);
  nFd = -1;
}

bool CLoopbackClient::Pump() {
  char buffer[65536];
  while (true) {
    const ssize_t n = recv(nFd, buffer, sizeof(buffer), 0);
    if (n > 0) {
      strReceived.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return false;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

bool CLoopbackClient::WaitForBytes(size_t count, std::chrono::milliseconds limit) {
  return WaitUntil([&] { return (Pump(), strReceived.size() >= count); }, limit);
}

bool CLoopbackClient::WaitForText(const std::string& text, std::chrono::milliseconds limit) {
  return WaitUntil([&] { return (Pump(), strReceived.find(text) != std::string::npos); }, limit);
}

bool CLoopbackClient::WaitForClose(std::chrono::milliseconds limit) {
  return WaitUntil([&] { return !Pump(); }, limit);
}

size_t CLoopbackClient::SendSome(const std::string& bytes) {
  const ssize_t n = send(nFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

CPortHolder::CPortHolder(int port) {
  nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (nFd < 0) return;
  // Reuse lets the bind succeed over connections of an earlier run that linger
  // in TIME_WAIT; a listening socket still keeps every other bind off the port.
  const int on = 1;
  setsockopt(nFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(nFd, 8) != 0) {
    close(nFd);
    nFd = -1;
  }
}

CPortHolder::~CPortHolder() {
  if (nFd >= 0) close(nFd);
}

int FindFreePortBlock(int count) {
  if (count > kPortBlockSize) return 0;
  for (int k = 0; k < kPortBlocks; ++k) {
    const int base = kFirstBlockPort + kPortBlockSize * ((getpid() * 37 + k) % kPortBlocks);
    bool bFree = true;
    for (int p = base; p < base + count && bFree; ++p) bFree = CPortHolder(p).Holding();
    if (bFree) return base;
  }
  return 0;
}
