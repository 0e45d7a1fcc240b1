// Peers and drivers for the end-to-end tests: the built quillrade binary run in
// its console test mode with pipes, an HTTP receiver on 127.0.0.1 that records
// what the program sends, and plain socket clients for the status page, pushes
// and the TCP console.
//
// Everything waits with bounds; nothing here assumes a fixed port for the
// program, because other processes on the machine may hold 7370 or 32700.
// Threads: each object is used by the test's thread; the receiver's and the
// program's reader threads are internal.
#ifndef QUILLRADE_TESTS_E2E_E2E_SUPPORT_H_
#define QUILLRADE_TESTS_E2E_E2E_SUPPORT_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/bounded_wait.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

using SteadyTime = std::chrono::steady_clock::time_point;

// True in e2e_wine_tests, where the program is the cross-built quillrade.exe run
// under Wine. A line end that reaches the pipe as CR LF (as a Windows C runtime in
// text mode writes it) is read back as LF, so that the expected texts are the same
// for both builds; every other byte must match.
#ifdef QR_E2E_UNDER_WINE
constexpr bool kUnderWine = true;
#else
constexpr bool kUnderWine = false;
#endif

// Generous bounds for the program's reactions: the suites also run under the
// sanitizers on a loaded two-core machine. Waits end as soon as the effect shows.
constexpr int kProgramStartMs = 15000;  // until "Running Indefinitely."
constexpr int kProgramEffectMs = 5000;  // a change or push until its request
constexpr int kProgramExitMs = 5000;    // a stop request until the exit
constexpr std::chrono::milliseconds kProgramEffect{kProgramEffectMs};

// Writes `content` to a sibling file and renames it over `path`, so a reader
// never sees half of it. False on failure.
bool WriteFileWhole(const std::string& path, const std::string& content);
// Sets the file's modification time to now without touching its content.
bool TouchFile(const std::string& path);

// How a CProgram's standard streams are set up. Output() holds what reaches the
// streams that are captured.
enum class StandardStreams {
  kPipes,              // input a pipe, output and error captured
  kInputFromDevNull,   // input /dev/null, output and error captured
  kInputOutputClosed,  // input and output closed, error captured
  kAllClosed,          // input, output and error closed
};

// The quillrade binary in console test mode ("run ini_file=<config>"), started in
// `folder` with standard input a pipe and standard output plus error captured.
class CProgram {
 public:
  CProgram(const std::string& folder, const std::string& configPath);
  // Runs `argv` (argv[0] the program file) in `folder` with `streams`.
  CProgram(const std::string& folder, const std::vector<std::string>& argv,
           StandardStreams streams);
  ~CProgram();  // kills the process when it is still running
  CProgram(const CProgram&) = delete;
  CProgram& operator=(const CProgram&) = delete;

  bool Started() const { return nPid > 0; }
  pid_t Pid() const { return nPid; }
  std::string Output() const;
  // Offset just past the first `text` found at or after `from`; npos when absent.
  size_t Find(const std::string& text, size_t from = 0) const;
  // Waits until `text` occurs at or after `from`; returns the offset just past it,
  // or npos after `timeoutMs`.
  size_t WaitFor(const std::string& text, int timeoutMs, size_t from = 0) const;
  size_t Count(const std::string& text, size_t from = 0) const;

  // The ports printed after "Running Indefinitely." became visible; 0 when none.
  int HttpPort() const;
  int ConsolePort() const;

  // Stops and resumes taking the program's output from its pipe: while paused
  // the pipe fills, as with a reader that stopped reading.
  void PauseReading() { bPaused = true; }
  void ResumeReading() { bPaused = false; }
  // Bytes the program wrote that wait unread in the pipe.
  size_t UnreadBytes() const;

  void Send(const std::string& bytes);
  void SendEscape() { Send("\x1b"); }
  // Ends standard input: the program reads end of file.
  void CloseInput();
  void Signal(int signalNumber);
  // Exit code, or -1 when the process is still running after `timeoutMs`.
  int WaitExit(int timeoutMs);
  bool Exited() const { return bExited; }

 private:
  void ReadOutput();

  pid_t nPid = -1;
  int nInputFd = -1;
  int nOutputFd = -1;
  bool bExited = false;
  int nExitCode = -1;
  std::atomic<bool> bPaused{false};
  std::atomic<bool> bReaderStop{false};
  std::thread reader;
  mutable std::mutex mutex;
  mutable std::condition_variable grown;
  std::string strOutput;
};

// An HTTP/1.1 receiver on 127.0.0.1 (ephemeral port). Each connection is served
// by its own thread: it reads one request head, records the request target with
// its arrival time, waits the configured delay and answers 200 with a short body,
// then closes.
// Reserve before Start gives a known port that refuses every connection until
// Start: a target that is down, then comes back.
class CReceiver {
 public:
  struct Arrival {
    std::string strTarget;
    SteadyTime at;
  };

  CReceiver();
  ~CReceiver();
  CReceiver(const CReceiver&) = delete;
  CReceiver& operator=(const CReceiver&) = delete;

  // Binds an ephemeral port without listening. False on failure.
  bool Reserve();
  // Listens (on the reserved port, else on a new one) and starts accepting.
  bool Start();
  int Port() const { return listener.Port(); }
  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(Port()); }
  void SetDelayMs(int delayMs) { nDelayMs = delayMs; }
  // While holding, requests are recorded on arrival but answered only after
  // the hold ends: the program stays inside its request until the test lets go.
  void SetHolding(bool holding) { bHolding = holding; }

  std::vector<std::string> Targets() const;
  std::vector<Arrival> Arrivals() const;
  size_t Count() const;
  // Number of recorded targets equal to `target`.
  size_t CountOf(const std::string& target) const;
  // Number of recorded targets that begin with `prefix`.
  size_t CountPrefix(const std::string& prefix) const;
  // Waits until `target` has arrived at least `times` times.
  bool WaitForTarget(const std::string& target, int timeoutMs, size_t times = 1) const;
  bool WaitForCount(size_t count, int timeoutMs) const;

 private:
  void AcceptLoop();
  void Serve(int fd);

  CLoopbackListener listener;
  std::atomic<int> nDelayMs{0};
  std::atomic<bool> bHolding{false};
  std::atomic<bool> bStop{false};
  std::thread acceptor;
  mutable std::mutex mutex;
  mutable std::condition_variable arrived;
  std::vector<Arrival> arrivals;
  std::vector<std::thread> servers;
};

// The TCP ports process `pid` listens on (IPv4 and IPv6), ascending; read from
// /proc, for a program whose output cannot be read.
std::vector<int> ListeningPorts(pid_t pid);
// The first of them within first..last, waiting up to `timeoutMs`; 0 when none.
int WaitForListeningPort(pid_t pid, int first, int last, int timeoutMs);

// One GET over a fresh connection to 127.0.0.1:`port` ("Connection: close");
// the raw response (head and body), empty on failure or after `timeoutMs`.
std::string HttpGet(int port, const std::string& target, int timeoutMs = 3000);

// True when a TCP connection to `address`:`port` is accepted (then closed).
bool ConnectsTo(const std::string& address, int port);

#endif  // QUILLRADE_TESTS_E2E_E2E_SUPPORT_H_
