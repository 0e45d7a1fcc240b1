// Network peers for tests, on this machine only: a listening socket on 127.0.0.1,
// a client that collects what a server sends, and a holder that keeps a port busy.
//
// CLoopbackListener binds an ephemeral port on 127.0.0.1. Reserve alone gives a
// known port that refuses every connection until Listen: a target that is down,
// then comes back. The receivers of the engine, host and end-to-end suites build
// on it.
//
// Threads: each object is used by one thread at a time.
#ifndef QUILLRADE_TESTS_SUPPORT_LOOPBACK_H_
#define QUILLRADE_TESTS_SUPPORT_LOOPBACK_H_

#include <chrono>
#include <cstddef>
#include <string>

class CLoopbackListener {
 public:
  CLoopbackListener() = default;
  ~CLoopbackListener() { Close(); }
  CLoopbackListener(const CLoopbackListener&) = delete;
  CLoopbackListener& operator=(const CLoopbackListener&) = delete;

  // Binds 127.0.0.1 on an ephemeral port without listening. False on failure.
  bool Reserve();
  // Listens (on the reserved port, else on a new one). False on failure.
  bool Listen(int backlog);
  void Close();

  int Fd() const { return nFd; }
  int Port() const { return nPort; }

 private:
  int nFd = -1;
  int nPort = 0;
};

// A blocking connection to 127.0.0.1:`port`; the descriptor (the caller closes
// it), or -1 on failure.
int ConnectLoopback(int port);
// Sends all of `bytes` unless the connection fails; never raises SIGPIPE.
void SendAll(int fd, const std::string& bytes);

// Limit for a server's bytes to arrive at a client.
constexpr std::chrono::milliseconds kClientWait{5000};

// A client of a server on 127.0.0.1: a blocking connect, then reads that never
// block into Received(). Buffer sizes other than 0 are set before connecting,
// for a peer that takes little.
class CLoopbackClient {
 public:
  explicit CLoopbackClient(int port, int receiveBuffer = 0, int sendBuffer = 0);
  ~CLoopbackClient() { Close(); }
  CLoopbackClient(const CLoopbackClient&) = delete;
  CLoopbackClient& operator=(const CLoopbackClient&) = delete;

  bool Connected() const { return bConnected; }
  void Close();

  // Reads what has arrived; false once the peer has closed or reset.
  bool Pump();
  bool WaitForBytes(size_t count, std::chrono::milliseconds limit = kClientWait);
  bool WaitForText(const std::string& text, std::chrono::milliseconds limit = kClientWait);
  bool WaitForClose(std::chrono::milliseconds limit = kClientWait);
  // Sends without blocking; returns the bytes the network took.
  size_t SendSome(const std::string& bytes);
  const std::string& Received() const { return strReceived; }

 private:
  int nFd = -1;
  bool bConnected = false;
  std::string strReceived;
};

// A listening socket on all IPv4 addresses at `port`, held until destroyed, so
// that the port is busy for the code under test.
class CPortHolder {
 public:
  explicit CPortHolder(int port);
  ~CPortHolder();
  CPortHolder(const CPortHolder&) = delete;
  CPortHolder& operator=(const CPortHolder&) = delete;

  bool Holding() const { return nFd >= 0; }

 private:
  int nFd = -1;
};

// First of `count` (at most 128) consecutive ports that are free now, for code
// that listens on a fixed port; 0 when none was found. Each block starts 128
// ports after the last, and processes with neighbouring ids start their search
// far apart, so suites running side by side rarely meet, even when a test also
// looks at the port just after its block.
int FindFreePortBlock(int count);

#endif  // QUILLRADE_TESTS_SUPPORT_LOOPBACK_H_
