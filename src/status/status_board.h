// CStatusBoard: the process-wide state behind the observability pages. The main
// thread reports configuration loads, completed passes and the current tasks'
// status objects; the HTTP server's workers count their requests here and take
// a StatusSnapshot, which the page renderers turn into text.
//
// Ownership: the main thread owns the board and gives the server a pointer
// before the server starts; the task status objects are shared with the tasks.
// Threads: any thread. Counters are atomics; the task list and the texts are
// guarded by one short lock that is never held across I/O, nor while a task
// status's own lock is taken.
#ifndef QUILLRADE_STATUS_STATUS_BOARD_H_
#define QUILLRADE_STATUS_STATUS_BOARD_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/simple_mutex.h"
#include "status/task_status.h"

class CTcpConsole;

// The paths the status server answers itself, in the order their request
// counters are kept.
constexpr std::array<std::string_view, 6> kStatusPaths = {"/",      "/metrics", "/status.json",
                                                          "/tasks", "/health",  "/health/delivery"};

// Why the status server refused a request for want of the access token, in the
// order their counters are kept.
enum class AccessRefusal { kMissingToken, kWrongToken };
constexpr std::array<std::string_view, 2> kAccessRefusalNames = {"missing_token", "wrong_token"};

struct StatusSnapshot {
  std::string strVersion;
  int64_t nStartTime = 0;  // unix seconds
  int64_t nNow = 0;        // unix seconds when the snapshot was taken
  uint64_t nNowMs = 0;     // monotonic milliseconds when the snapshot was taken
  std::string strConfigPath;
  int64_t nConfigLoadTime = 0;  // unix seconds of the last successful load; 0: none
  uint64_t nConfigLoads = 0;
  uint64_t nConfigLoadFailures = 0;
  std::array<uint64_t, kStatusPaths.size()> statusRequests{};
  std::array<uint64_t, kAccessRefusalNames.size()> refusedRequests{};
  uint64_t nConsoleClients = 0;
  int nHttpPort = 0;
  int nConsolePort = 0;
  bool bPassing = false;  // a pass completed within the health bound
  std::vector<TaskSnapshot> tasks;
};

class CStatusBoard {
 public:
  // The main thread counts as passing while its last completed pass is at most
  // this old; a target that holds a request longer makes /health answer 503.
  static constexpr uint64_t kHealthyPassAgeMs = 10000;
  // A request in flight longer than this makes /health/delivery answer 503.
  static constexpr uint64_t kStuckRequestMs = 60000;

  CStatusBoard();
  CStatusBoard(const CStatusBoard&) = delete;
  CStatusBoard& operator=(const CStatusBoard&) = delete;

  // Set before the server starts, constant after.
  void SetConfigPath(const std::string& path);
  void SetConsole(const CTcpConsole* console) { pConsole = console; }
  void SetHttpPort(int port) { nHttpPort = port; }
  // Tests shorten the health bound; the program keeps kHealthyPassAgeMs.
  void SetHealthBoundMs(uint64_t bound) { nHealthBoundMs = bound; }

  // Main thread: one configuration load ended; a success also stamps the time.
  void RecordConfigLoad(bool succeeded);
  // Main thread: the tasks of the configuration now running (empty while none).
  void SetTasks(std::vector<std::shared_ptr<CTaskStatus>> statuses);
  // Main thread: a pass has completed.
  void MarkPassCompleted();

  // Any thread: one request for kStatusPaths[pathIndex] was answered.
  void CountStatusRequest(size_t pathIndex);
  // Any thread: one request was refused for want of the access token.
  void CountRefusedRequest(AccessRefusal cause);
  bool IsPassing() const;
  StatusSnapshot Snapshot() const;

 private:
  const int64_t nStartTime;
  std::string strConfigPath;              // set before start
  const CTcpConsole* pConsole = nullptr;  // set before start; not owned
  std::atomic<int> nHttpPort{0};
  std::atomic<uint64_t> nHealthBoundMs{kHealthyPassAgeMs};

  std::atomic<uint64_t> nConfigLoads{0};
  std::atomic<uint64_t> nConfigLoadFailures{0};
  std::atomic<int64_t> nConfigLoadTime{0};
  std::array<std::atomic<uint64_t>, kStatusPaths.size()> statusRequests{};
  std::array<std::atomic<uint64_t>, kAccessRefusalNames.size()> refusedRequests{};
  // Monotonic milliseconds of the last completed pass; 0 while not passing.
  std::atomic<uint64_t> nLastPassMs{0};

  mutable CSimpleCritSec lock;
  std::vector<std::shared_ptr<CTaskStatus>> tasks QR_GUARDED_BY(lock);
};

#endif  // QUILLRADE_STATUS_STATUS_BOARD_H_
