// Non-blocking TCP sockets for a server that must never wait on a peer.
//
// CTcpListenSocket listens on an IPv4 port on all local addresses; Accept hands out
// one pending connection at a time. CTcpSocket is one accepted connection with an
// outgoing buffer and an incoming buffer of fixed sizes: Send queues bytes (and
// writes what the network takes at once), Poll moves queued bytes to the network,
// fetches incoming bytes and notices a closed or failed connection. Nothing blocks;
// what exceeds the outgoing buffer is dropped and counted. Writes never raise
// SIGPIPE.
//
// CSocketWake lets a thread that waits for connections be woken from any other
// thread, so one wait covers both new connections and new work.
//
// Ownership: Accept returns an owned connection; closing or destroying it releases
// the socket. Threads: each socket object is used by one thread at a time;
// CSocketWake::Set may be called from any thread.
#ifndef QUILLRADE_PLATFORM_TCP_SOCKET_H_
#define QUILLRADE_PLATFORM_TCP_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"
#include "platform/unique_fd.h"

// Connection state values.
constexpr int kTcpStateError = 0;
constexpr int kTcpStateNoConnection = 1;
constexpr int kTcpStateResolving = 2;
constexpr int kTcpStateConnecting = 3;
constexpr int kTcpStateConnected = 4;
constexpr int kTcpStateClosing = 5;  // graceful close waiting for queued output
constexpr int kTcpStateClosed = 6;

class CTcpSocket {
 public:
  // Takes ownership of a connected, non-blocking socket descriptor.
  CTcpSocket(CUniqueSocket descriptor, size_t outgoingCapacity, size_t incomingCapacity);
  CTcpSocket(const CTcpSocket&) = delete;
  CTcpSocket& operator=(const CTcpSocket&) = delete;

  // Moves queued output to the network, fetches incoming bytes up to the incoming
  // buffer's size and finishes a graceful close. Returns the new state.
  int Poll();
  int State() const { return nState; }

  // Queues bytes for sending while connected; what does not fit into the outgoing
  // buffer is dropped. Returns the number of bytes accepted (sent or queued).
  size_t Send(const char* bytes, size_t length);

  // Incoming bytes waiting to be read.
  size_t Waiting() const { return incoming.size(); }
  // Moves up to `maximum` incoming bytes into `buffer`; returns their count.
  size_t Read(char* buffer, size_t maximum);

  // Graceful: the queued output is still sent (state closing until then), then the
  // sending side is shut down. At once: the socket is closed, queued output lost.
  void Close(bool graceful);

  // Output accepted but not yet handed to the network.
  size_t PendingOutput() const { return outgoing.size() - nOutgoingHead; }
  // Bytes that Send dropped because the outgoing buffer was full.
  uint64_t DroppedBytes() const { return nDroppedBytes; }

 private:
  size_t WriteToNetwork(const char* bytes, size_t length);
  void FlushOutgoing();
  void FetchIncoming();
  void FinishGracefulClose();
  void Release(int state);

  CUniqueSocket descriptor;
  int nState = kTcpStateConnected;
  const size_t nOutgoingCapacity;
  const size_t nIncomingCapacity;
  std::string outgoing;  // bytes before nOutgoingHead are already sent
  size_t nOutgoingHead = 0;
  std::vector<char> incoming;
  uint64_t nDroppedBytes = 0;
};

// A wake-up for CTcpListenSocket::WaitForConnection. Without a descriptor from
// the system (none left) it does nothing and waits end by their timeout.
class CSocketWake {
 public:
  CSocketWake();
  CSocketWake(const CSocketWake&) = delete;
  CSocketWake& operator=(const CSocketWake&) = delete;

  // Ends the current or the next wait. Any thread; never blocks.
  void Set();

 private:
  friend class CTcpListenSocket;
  void Consume();

  CUniqueFd descriptor;
};

class CTcpListenSocket {
 public:
  // Backlog of connections the system queues before Accept takes them.
  static constexpr int kBacklog = 8;

  // Listens on `port` on all IPv4 addresses, or on the one IPv4 address given in
  // dotted form. A port that has a live listener is refused; one left in
  // TIME_WAIT by an earlier run is reused. Null on failure (also for an address
  // that is not a dotted IPv4 address of this machine); `why`, when given,
  // receives the cause ("listen on 10.1.2.3:32700: Cannot assign requested
  // address"), and ok on success.
  static std::unique_ptr<CTcpListenSocket> Open(int port, const std::string& address = "",
                                                CResult* why = nullptr);
  // Takes ownership of a listening, non-blocking socket descriptor.
  CTcpListenSocket(CUniqueSocket descriptor, int port)
      : descriptor(std::move(descriptor)), nPort(port) {}
  CTcpListenSocket(const CTcpListenSocket&) = delete;
  CTcpListenSocket& operator=(const CTcpListenSocket&) = delete;

  // Takes one pending connection without waiting; null when none is pending. The
  // system's send buffer for it is limited to `outgoingCapacity` as well.
  std::unique_ptr<CTcpSocket> Accept(size_t outgoingCapacity, size_t incomingCapacity);

  // Waits up to `timeoutMs` until a connection is pending or `wake` is set (the
  // wait consumes it). After an Accept that the system refused although a
  // connection was pending (no descriptors left), the next wait watches only
  // `wake`, so that the refused connection cannot turn waiting into spinning.
  void WaitForConnection(CSocketWake& wake, int timeoutMs);

  int Port() const { return nPort; }

 private:
  // The system's half of Open, for a port and a dotted address already checked:
  // null with the system's error number in `error` when it fails.
  static std::unique_ptr<CTcpListenSocket> Listen(int port, const std::string& address, int* error);

  CUniqueSocket descriptor;
  int nPort;
  bool bAcceptRefused = false;
};

// True for an IPv4 address in dotted form ("127.0.0.1").
bool IsIPv4Address(const std::string& text);

// Opens and at once closes a connection to 127.0.0.1:port, without waiting more
// than `timeoutMs` for it. Wakes a server thread that only looks at its stop flag
// between connections. False when the connection could not be made.
bool PokeLoopbackPort(int port, int timeoutMs);

#endif  // QUILLRADE_PLATFORM_TCP_SOCKET_H_
