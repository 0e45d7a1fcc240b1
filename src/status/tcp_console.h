// A plain-text status feed over TCP, read with a telnet client. The console
// listens on the first free port from the requested one, keeps the most recent
// output in a back buffer that every new client receives first, and then streams
// each new text to all clients. What clients type is read and thrown away.
//
//   CTcpConsole console;
//   TcpConsoleSettings settings;
//   settings.strName = "Quillrade";
//   settings.nPort = 32700;
//   if (console.Start(settings) != 0) g_logOutput.AttachConsole(&console);
//   ...
//   g_logOutput.AttachConsole(nullptr);
//   console.Stop();
//
// A client that takes nothing while its outgoing buffer stays full for the stall
// limit is dropped, so that clients that never read cannot hold every place.
//
// With an access token set, a new client gets "Token: " and nothing else until
// it sends a line holding the token (ended by CR or LF, NUL bytes and telnet
// command sequences ignored, at most kTokenLineBytes bytes); then the back
// buffer and the feed. A wrong token, a longer line or kTokenWaitMs without the
// line closes the connection.
//
// Threads: Start, Stop and the destructor belong to the owning thread. WriteText,
// WriteFormatted, SignalStop, Port and ClientCount may be called from any thread;
// writers only touch the byte queue (its own lock) and the wake-up. The console
// thread alone reads the queue, writes the back buffer and owns every socket; it
// waits for new text and for new connections at once.
#ifndef QUILLRADE_STATUS_TCP_CONSOLE_H_
#define QUILLRADE_STATUS_TCP_CONSOLE_H_

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tcp_socket.h"
#include "runtime/simple_mutex.h"
#include "runtime/simple_thread.h"
#include "status/fifo.h"
#include "status/log_output.h"

// How long a client's outgoing buffer may stay full before the client is dropped.
constexpr int kTcpConsoleStallLimitMs = 30000;

// Start settings; Start writes the port actually opened (or 0) back into nPort.
struct TcpConsoleSettings {
  std::string strName;
  std::string strAlternateName;  // when set, its file title replaces the name
  int nPort = 3270;              // first port tried
  bool bEcho = false;            // also copy every text to standard output
  int nFifoSize = 8192;          // bytes that may wait for the console thread
  int nBackBufferSize = 32768;   // most recent bytes replayed to a new client
  std::string strListenAddress;  // dotted IPv4 address to listen on; empty = all
  int nStallLimitMs = kTcpConsoleStallLimitMs;
};

// Appends `text` converted for a telnet client to `out`: each LF becomes LF CR,
// each CR is dropped, other control bytes are made visible
// (AppendWithVisibleControls), every other byte passes unchanged.
void AppendConvertedForTelnet(std::string_view text, std::string& out);

class CTcpConsole : public CSimpleThreadHandler, public ILogConsoleSink {
 public:
  static constexpr int kPortsTried = 100;
  // Most new bytes taken from the queue and sent per pass.
  static constexpr size_t kChunkBytes = 2048;
  // A client's typed input is thrown away in pieces of this size, once more than
  // this much is waiting.
  static constexpr size_t kDiscardBytes = 1024;
  static constexpr size_t kIncomingBytes = 2048;
  // Formatted writes are cut to one byte less.
  static constexpr size_t kFormatBytes = 4096;
  // Longest sleep between passes; every write and every new connection wakes
  // the thread earlier.
  static constexpr int kWaitMilliseconds = 500;
  // Clients served at once; a further client is accepted and closed at once, so
  // that connections cannot take unbounded memory.
  static constexpr size_t kMaxClients = 64;
  static constexpr size_t kTokenLineBytes = 256;
  static constexpr uint32_t kTokenWaitMs = 10000;

  CTcpConsole();
  // Performs Stop.
  ~CTcpConsole() override;
  CTcpConsole(const CTcpConsole&) = delete;
  CTcpConsole& operator=(const CTcpConsole&) = delete;

  // Listens on the first free port of settings.nPort .. +99, starts the thread and
  // writes the greeting. Returns the port and stores it in settings.nPort; 0 when
  // no port (or no thread) could be had, and the console then stays inert.
  int Start(TcpConsoleSettings& settings);
  // The listening port, 0 when not listening.
  int Port() const { return nPort.load(); }
  // Why the last Start left the console inert (the last port's listen failure,
  // or the thread's); ok after a Start that listens. Owning thread only.
  const CResult& StartError() const { return startError; }

  // Queues the text for the clients without waiting (excess dropped when the
  // queue is full) and wakes the thread. Nothing happens for an empty text or a
  // console that is not listening.
  void WriteText(const char* bytes, size_t length) override;
  // printf-style WriteText, cut to kFormatBytes - 1 characters.
  void WriteFormatted(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Asks the thread to stop without waiting for it.
  void SignalStop();
  // Stops the thread (clients are closed at once), closes the listener, empties
  // the queue. The console may be started again afterwards.
  void Stop();

  // Any thread, at any time: the token new clients must send; empty asks none.
  void SetAccessToken(const std::string& token);

  // Clients currently served (as of the thread's last pass).
  size_t ClientCount() const { return nClientCount.load(); }
  const std::string& Name() const { return strName; }

 private:
  // Where a client's typed bytes stand in telnet's command syntax.
  enum class TelnetState { kData, kCommand, kOption, kSubnegotiation, kSubnegotiationCommand };
  enum class TokenLine { kWaiting, kMatched, kRefused };

  // One served connection and since when its outgoing buffer has been full;
  // until it has given the token, its typed line so far.
  struct Client {
    std::unique_ptr<CTcpSocket> socket;
    bool bFull = false;
    uint32_t nFullSince = 0;
    bool bAdmitted = true;
    uint32_t nAcceptedAt = 0;
    std::string strTokenLine;
    TelnetState telnet = TelnetState::kData;
  };

  void Run(CSimpleThread* thread) override;
  // One pass of the thread loop; returns true when work is left (skip the wait).
  bool RunPass();
  void AppendToBackBuffer(const char* bytes, size_t length);
  bool ServeClients(std::string_view chunk);
  // Notes whether the client's buffer is still full; true once it has stayed
  // full for the stall limit.
  bool HasStalled(Client& client, uint32_t now) const;
  bool AcceptClient();
  // Reads what a client not yet admitted typed, up to the end of its token line.
  TokenLine ReadTokenLine(Client& client, const std::string& token, uint32_t now);
  std::string AccessToken() const;
  void SendBackBuffer(CTcpSocket& client);
  void SendConverted(CTcpSocket& client, std::string_view text);
  void CloseAllClients();
  void ApplySettings(const TcpConsoleSettings& settings);
  bool StartListening();
  void WriteGreeting();

  CSimpleCritSec backBufferLock;
  CSimpleThread thread;
  std::atomic<int> nPort{0};

  // Set by Start before the thread runs, constant while it runs.
  std::string strName;
  std::string strAlternateName;
  int nRequestedPort = 3270;
  bool bEcho = false;
  size_t nFifoSize = 0;
  size_t nBackBufferSize = 0;
  size_t nOutgoingSize = 0;  // a client's outgoing buffer
  std::string strListenAddress;
  uint32_t nStallLimitMs = 0;
  std::unique_ptr<CTcpListenSocket> listener;
  CResult startError;

  CFifo fifo;
  CSocketWake wake;

  // Used only by the console thread.
  std::vector<Client> clients;
  std::vector<char> chunk;
  std::vector<char> discard;
  std::string converted;
  std::atomic<size_t> nClientCount{0};

  mutable CSimpleCritSec tokenLock;
  std::string strAccessToken QR_GUARDED_BY(tokenLock);

  std::vector<char> backBuffer QR_GUARDED_BY(backBufferLock);
  size_t nWritePosition QR_GUARDED_BY(backBufferLock) = 0;
  size_t nFillCount QR_GUARDED_BY(backBufferLock) = 0;
};

#endif  // QUILLRADE_STATUS_TCP_CONSOLE_H_
