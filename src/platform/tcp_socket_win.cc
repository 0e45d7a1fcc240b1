#include "platform/tcp_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <mutex>

#include "platform/socket_io.h"
#include "platform/win_handle.h"

namespace {

// Winsock must be started once per process before the first socket call; it
// stays started until the process ends.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET ToSocket(int descriptor) { return static_cast<SOCKET>(static_cast<intptr_t>(descriptor)); }

int ToDescriptor(SOCKET socket) {
  if (socket == INVALID_SOCKET) return -1;
  return static_cast<int>(static_cast<intptr_t>(socket));
}

// A TCP socket that is not inherited by children and never blocks.
CUniqueSocket OpenNonBlockingSocket() {
  if (!StartWinsock()) return CUniqueSocket();
  CUniqueSocket opened(ToDescriptor(
      WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT)));
  u_long on = 1;
  if (opened.IsValid() && ioctlsocket(ToSocket(opened.Get()), FIONBIO, &on) != 0) opened.Reset();
  return opened;
}

Transfer Classify(int result) {
  if (result > 0) return Transfer::kMoved;
  if (result == 0) return Transfer::kPeerClosed;
  const int error = WSAGetLastError();
  if (error == WSAEINTR) return Transfer::kInterrupted;
  if (error == WSAEWOULDBLOCK) return Transfer::kWouldBlock;
  return Transfer::kFailed;
}

int ClampLength(size_t length) { return static_cast<int>(std::min<size_t>(length, INT_MAX)); }

}  // namespace

Transfer SendSome(int socket, const char* bytes, size_t length, size_t* moved) {
  const int result = send(ToSocket(socket), bytes, ClampLength(length), 0);
  if (result > 0) *moved = static_cast<size_t>(result);
  return Classify(result);
}

Transfer ReceiveSome(int socket, char* buffer, size_t capacity, size_t* moved) {
  const int result = recv(ToSocket(socket), buffer, ClampLength(capacity), 0);
  if (result > 0) *moved = static_cast<size_t>(result);
  return Classify(result);
}

void ShutdownSending(int socket) { shutdown(ToSocket(socket), SD_SEND); }

CSocketWake::CSocketWake()
    : descriptor(HandleToDescriptor(CreateEventA(nullptr, FALSE, FALSE, nullptr))) {}

void CSocketWake::Set() {
  if (descriptor.IsValid()) SetEvent(DescriptorToHandle(descriptor.Get()));
}

void CSocketWake::Consume() {
  if (descriptor.IsValid()) WaitForSingleObject(DescriptorToHandle(descriptor.Get()), 0);
}

bool IsIPv4Address(const std::string& text) {
  in_addr parsed{};
  return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

// Without SO_REUSEADDR Windows refuses a port that has a live listener, and
// unlike Linux it still lets a listener take a port whose old connections wait
// in TIME_WAIT.
std::unique_ptr<CTcpListenSocket> CTcpListenSocket::Listen(int port, const std::string& address,
                                                           int* error) {
  in_addr listenAddress{};
  listenAddress.s_addr = htonl(INADDR_ANY);
  if (!address.empty()) inet_pton(AF_INET, address.c_str(), &listenAddress);
  CUniqueSocket listening = OpenNonBlockingSocket();
  if (!listening.IsValid()) {
    *error = WSAGetLastError();
    return nullptr;
  }
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_addr = listenAddress;
  bound.sin_port = htons(static_cast<u_short>(port));
  const SOCKET raw = ToSocket(listening.Get());
  if (bind(raw, reinterpret_cast<const sockaddr*>(&bound), sizeof(bound)) != 0 ||
      listen(raw, kBacklog) != 0) {
    *error = WSAGetLastError();
    return nullptr;
  }
  return std::make_unique<CTcpListenSocket>(std::move(listening), port);
}

std::unique_ptr<CTcpSocket> CTcpListenSocket::Accept(size_t outgoingCapacity,
                                                     size_t incomingCapacity) {
  CUniqueSocket accepted(ToDescriptor(accept(ToSocket(descriptor.Get()), nullptr, nullptr)));
  if (!accepted.IsValid()) {
    const int error = WSAGetLastError();
    bAcceptRefused = error != WSAEWOULDBLOCK && error != WSAEINTR && error != WSAECONNRESET;
    return nullptr;
  }
  // An accepted socket inherits the listener's event selection; it is polled, so
  // it drops the selection and stays non-blocking.
  const SOCKET raw = ToSocket(accepted.Get());
  WSAEventSelect(raw, nullptr, 0);
  u_long on = 1;
  ioctlsocket(raw, FIONBIO, &on);
  SetHandleInformation(reinterpret_cast<HANDLE>(raw), HANDLE_FLAG_INHERIT, 0);
  // The system's own send buffer is bounded like ours, so a stalled peer shows
  // as a full buffer soon.
  const int sendBuffer = static_cast<int>(std::min<size_t>(outgoingCapacity, INT_MAX / 2));
  setsockopt(raw, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer),
             sizeof(sendBuffer));
  return std::make_unique<CTcpSocket>(std::move(accepted), outgoingCapacity, incomingCapacity);
}

// A pending connection signals an event selected for FD_ACCEPT, at once when one
// is already queued. The selection is dropped again before the event goes, so
// Winsock never signals a closed handle.
void CTcpListenSocket::WaitForConnection(CSocketWake& wake, int timeoutMs) {
  const CUniqueFd accepting(HandleToDescriptor(CreateEventA(nullptr, TRUE, FALSE, nullptr)));
  const SOCKET raw = ToSocket(descriptor.Get());
  HANDLE handles[2];
  DWORD count = 0;
  if (wake.descriptor.IsValid()) handles[count++] = DescriptorToHandle(wake.descriptor.Get());
  const bool watchAccept = !bAcceptRefused && accepting.IsValid() &&
                           WSAEventSelect(raw, DescriptorToHandle(accepting.Get()), FD_ACCEPT) == 0;
  if (watchAccept) handles[count++] = DescriptorToHandle(accepting.Get());
  bAcceptRefused = false;
  // A set wake (auto-reset) is consumed by the wait that it ends.
  if (count > 0) {
    WaitForMultipleObjects(count, handles, FALSE, WaitMilliseconds(timeoutMs));
  } else {
    Sleep(WaitMilliseconds(timeoutMs));
  }
  if (watchAccept) WSAEventSelect(raw, nullptr, 0);
}

bool PokeLoopbackPort(int port, int timeoutMs) {
  const CUniqueSocket poking = OpenNonBlockingSocket();
  if (!poking.IsValid()) return false;
  const SOCKET raw = ToSocket(poking.Get());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return true;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(raw, &writable);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(raw, &failed);
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, nullptr, &writable, &failed, &wait) == 1 && FD_ISSET(raw, &writable);
}
