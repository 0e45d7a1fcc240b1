// CTaskStatus: what one task tells the observability pages (/metrics,
// /status.json, /tasks): its counters, its current values and its last request.
// The engine's task owns one and records into it as things happen; the status
// board hands snapshots of it to the HTTP server's workers.
//
// Counting is cheap: counters are relaxed atomics, and the texts (values, last
// URL) are copied under one short lock that is never held across I/O.
//
// Ownership: shared (std::shared_ptr) by the task and the status board, so a
// worker that took a snapshot list during a reload never reads a freed object.
// Threads: any thread. The task's main thread records; workers read snapshots.
//
// Example:
//   auto status = std::make_shared<CTaskStatus>();
//   status->Describe({0, "output0", "plain_text", "now.txt", ""});
//   status->CountInputRead();
//   status->RecordRequest(url, outcome);
//   TaskSnapshot snapshot = status->Snapshot();
#ifndef QUILLRADE_STATUS_TASK_STATUS_H_
#define QUILLRADE_STATUS_TASK_STATUS_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "runtime/simple_mutex.h"

// Why a request failed, as the counters tell them apart.
enum class RequestFailure {
  kNone,        // the request succeeded
  kConnect,     // the target could not be resolved or connected to
  kTimeout,     // the connection or the transfer ran out of time
  kHttpStatus,  // the target answered with a status of 400 or above
  kOther,       // anything else: a broken answer, an invalid URL, a stop
};
constexpr size_t kRequestFailureKinds = 4;  // the failures after kNone

// The metric label of a failure ("connect", "timeout", "http_status", "other").
const char* RequestFailureName(RequestFailure failure);

// How one request ended.
struct RequestOutcome {
  RequestFailure failure = RequestFailure::kNone;
  int nCurlCode = 0;      // the HTTP library's result code (0 = success)
  int nHttpStatus = 0;    // the answer's status; 0 when none came
  double dSeconds = 0;    // from the start of the request to its end
  int64_t nUnixTime = 0;  // when it ended
};

// Fixed facts of a task, set once after its setup.
struct TaskIdentity {
  int nIndex = 0;
  std::string strLabel;      // "output0"
  std::string strType;       // "plain_text", "xml" or "push"
  std::string strInputPath;  // as configured; empty for push tasks
  std::string strPushPath;   // "/input0"; push tasks only
};

// Upper bounds (seconds) of the request-duration histogram's buckets; the last
// equals the longest transfer the client allows.
constexpr std::array<double, 12> kRequestSecondsBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                           0.5,   1,    2.5,   5,    30,  120};

struct TaskCounters {
  uint64_t nInputReads = 0;    // input file read, or a pushed text taken
  uint64_t nInputChanges = 0;  // reads that recomputed the values
  uint64_t nPushesAccepted = 0;
  uint64_t nPushesRefused = 0;  // answered 503: the queue was full
  uint64_t nQueuedPushes = 0;   // waiting now
  uint64_t nRequests = 0;
  std::array<uint64_t, kRequestFailureKinds> failures{};  // by RequestFailure - 1
  // Requests per bucket of kRequestSecondsBuckets, not cumulative; the extra
  // last slot counts those above the last bound.
  std::array<uint64_t, kRequestSecondsBuckets.size() + 1> durationBuckets{};
  double dDurationSum = 0;       // seconds, over all requests
  int64_t nLastSuccessTime = 0;  // unix seconds; 0 when none yet
};

// One URL slot of a task as the delivery last left it: the request in flight, if
// any, and how the latest ended request went.
struct SlotState {
  size_t nSlot = 0;
  bool bInFlight = false;
  std::string strInFlightUrl;     // as sent, credentials not yet masked
  uint64_t nInFlightSinceMs = 0;  // monotonic milliseconds of its start
  int64_t nInFlightSinceUnix = 0;
  bool bHasResult = false;        // the fields below are meaningful
  bool bOk = false;               // the latest ended request succeeded
  std::string strUrl;             // the latest ended request's URL
  std::string strCause;           // why it failed ("timeout", "http_status 404", ...)
  int64_t nFailingSinceUnix = 0;  // first failure since the last success
};

struct TaskSnapshot {
  TaskIdentity identity;
  // "text%i" values, then "format%i" results, in configuration order.
  std::vector<std::pair<std::string, std::string>> values;
  int64_t nLastChangeTime = 0;  // unix seconds of the last recomputation; 0: none
  bool bHasRequest = false;     // the fields below are meaningful
  std::string strLastUrl;       // as sent, credentials not yet masked
  RequestOutcome lastOutcome;
  TaskCounters counters;
  std::vector<SlotState> slots;  // by slot; only those that sent anything
  size_t nInFlight = 0;          // requests in flight now
};

class CTaskStatus {
 public:
  CTaskStatus();
  CTaskStatus(const CTaskStatus&) = delete;
  CTaskStatus& operator=(const CTaskStatus&) = delete;

  void Describe(TaskIdentity identity);
  void CountInputRead() { Add(nInputReads); }
  void CountInputChange() { Add(nInputChanges); }
  // A push was queued (accepted) or refused; `queued` is the queue length after it.
  void CountPush(bool accepted, size_t queued);
  void SetQueuedPushes(size_t queued) { nQueuedPushes.store(queued, std::memory_order_relaxed); }
  // The values after a recomputation, stamped with `unixTime`.
  void PublishValues(std::vector<std::pair<std::string, std::string>> values, int64_t unixTime);
  // The request of URL slot `slot` started at `nowMs` (monotonic) / `unixTime`.
  void StartRequest(size_t slot, const std::string& url, uint64_t nowMs, int64_t unixTime);
  // A request of `slot` ended; clears its in-flight state.
  void RecordRequest(size_t slot, const std::string& url, const RequestOutcome& outcome);

  TaskSnapshot Snapshot() const;

 private:
  static void Add(std::atomic<uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
  }
  void LoadCounters(TaskCounters& counters) const;
  SlotState& Slot(size_t slot) QR_EXCLUSIVE_LOCKS_REQUIRED(lock);

  std::atomic<uint64_t> nInputReads{0};
  std::atomic<uint64_t> nInputChanges{0};
  std::atomic<uint64_t> nPushesAccepted{0};
  std::atomic<uint64_t> nPushesRefused{0};
  std::atomic<uint64_t> nQueuedPushes{0};
  std::atomic<uint64_t> nRequests{0};
  std::array<std::atomic<uint64_t>, kRequestFailureKinds> failures{};
  std::array<std::atomic<uint64_t>, kRequestSecondsBuckets.size() + 1> durationBuckets{};
  std::atomic<uint64_t> nDurationMicros{0};
  std::atomic<int64_t> nLastSuccessTime{0};

  mutable CSimpleCritSec lock;
  TaskIdentity identity QR_GUARDED_BY(lock);
  std::vector<std::pair<std::string, std::string>> values QR_GUARDED_BY(lock);
  int64_t nLastChangeTime QR_GUARDED_BY(lock) = 0;
  bool bHasRequest QR_GUARDED_BY(lock) = false;
  std::string strLastUrl QR_GUARDED_BY(lock);
  RequestOutcome lastOutcome QR_GUARDED_BY(lock);
  std::vector<SlotState> slots QR_GUARDED_BY(lock);
};

#endif  // QUILLRADE_STATUS_TASK_STATUS_H_
