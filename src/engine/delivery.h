// CDelivery: sends the URLs that tasks compose, all at once through one libcurl
// multi handle driven on the main thread, so a slow or silent target holds up only
// the requests that must wait for it.
//
// Order rules:
// - Each URL slot of a task (Url0, Url1, ...) is its own queue: one request in
//   flight at a time, in the order the URLs were composed; slots never wait for
//   each other.
// - Requests to one host and port start in composed order, at most
//   `max_connections_per_host` at once (1 by default): the order a target sees is
//   the order the tasks composed, and one server is not flooded. Tasks that send
//   to the same sick server therefore still wait for each other.
// - A plain text or XML task's newer URL replaces its slot's URL that has not
//   started yet (the file's latest state wins); a push task's URLs are all sent,
//   in order, at most kMaxQueuedPerSlot waiting per slot.
// - A URL that got no answer waits for another try (CRetrySchedule: 1 s doubling
//   to 60 s) unless a newer URL for its slot came meanwhile.
// - A task sends at most once per kMinSendIntervalMs (its due retries together
//   count as one send); the caller asks MaySend before composing.
//
// Every start prints "\nFetching URL: %s..." and every end "OK\n" or "ERROR\n"
// on the same line when nothing else was printed in between; otherwise the end
// is printed whole: "\nFetching URL: %s...OK\n". The task's CTaskStatus records
// each start and end. A push task's texts are tracked until every URL composed
// from them was answered, so a reload can hand the rest to the new task.
//
// Ownership: the main loop owns one CDelivery for its whole run, across reloads;
// tasks are its clients by number. A client keeps its status alive (shared), never
// a pointer to its task, so the transfers of a retired client may finish after
// the task is gone. Transfer handles are made per request (a new connection
// each time) and freed when it ends.
// Threads: main thread only.
#ifndef QUILLRADE_ENGINE_DELIVERY_H_
#define QUILLRADE_ENGINE_DELIVERY_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/curl.h"
#include "engine/retry_schedule.h"
#include "platform/socket_wait_set.h"
#include "status/log_output.h"
#include "status/task_status.h"

class CDelivery {
 public:
  // Shortest time between two sends of one task.
  static constexpr uint64_t kMinSendIntervalMs = 100;
  // URLs a push task's slot may hold waiting; more are dropped with a line.
  static constexpr size_t kMaxQueuedPerSlot = 1000;
  // How long the transfers of replaced tasks may go on after a reload.
  static constexpr uint64_t kRetireMs = 2000;

  // How a client's URLs are kept.
  struct ClientOptions {
    std::shared_ptr<CTaskStatus> status;  // records starts and ends; never null
    bool bLatestWins = true;              // false: every URL is sent (push tasks)
    bool bRetries = true;                 // unanswered URLs are tried again
    std::string strLabel;                 // the task's; files its texts in the journal
  };

  // `abort` (not owned, may be null): once set, nothing starts any more (the
  // stop that follows ends the rest with EndAll). The requests' texts go to
  // `output` (not owned, outlives the delivery).
  explicit CDelivery(const CFetchAbort* abort = nullptr, IStatusPrinter& output = g_logOutput);
  // Ends what is still in flight, as EndAll does.
  ~CDelivery();
  CDelivery(const CDelivery&) = delete;
  CDelivery& operator=(const CDelivery&) = delete;

  // For the requests started from now on.
  void SetLimits(const TransferLimits& limits) { transferLimits = limits; }
  void SetMaxConnectionsPerHost(int count) { nMaxPerHost = count < 1 ? 1 : count; }

  // A new client (a task); returns its number.
  int AddClient(ClientOptions options);
  // True when `client` may send at `nowMs` (monotonic): its last send lies at
  // least kMinSendIntervalMs back.
  bool MaySend(int client, uint64_t nowMs) const;
  // The first instant MaySend holds again.
  uint64_t NextSendTime(int client) const;
  // One send of `client`: `urls[slot]` for each of its slots, composed in this
  // order. `pushedText` (null for file tasks) is the text they were composed
  // from, tracked until all of them were answered. Starts what may start.
  void Send(int client, const std::vector<std::string>& urls, const std::string* pushedText);
  // The pushed texts of `client` whose URLs are not all answered (queued, in
  // flight or waiting for a retry), oldest first; they are forgotten here.
  std::vector<std::string> TakeUnansweredTexts(int client);
  // A reload: every client so far is retired. Its queued URLs and retries are
  // dropped; its transfers may go on until kRetireMs from `nowMs`, then end.
  void RetireClients(uint64_t nowMs);

  // Acts on ready sockets and due timers, ends overdue transfers, queues due
  // retries and starts what may start. Never blocks.
  void Drive();
  // When Drive has something to do without a socket becoming ready (a library
  // timer, a retry, a retired transfer's end); UINT64_MAX when nothing.
  uint64_t NextWakeMs() const;
  // The sockets of the transfers, for the main thread's wait.
  const CSocketWaitSet& Sockets() const { return sockets; }

  // A stop: every transfer ends now (each prints "ERROR"), and the queued URLs
  // are dropped without being started, reported in one line.
  void EndAll();
  size_t InFlight() const { return transfers.size(); }

  // The library's socket and timer reports (`what` and `timeoutMs` as it gives
  // them); called through its callbacks only.
  void OnSocket(int socket, int what);
  void OnTimer(long timeoutMs);
  // Nothing in flight and nothing queued (retries may be waiting).
  bool Idle() const { return transfers.empty() && queued.empty(); }

 private:
  struct Request {
    uint64_t nSeq = 0;  // composition order, over all clients
    int nClient = 0;
    size_t nSlot = 0;
    std::string strUrl;
    std::string strHost;  // "host:port", the key of the host queue
    bool bRetry = false;  // a try of the URL waiting in the retry schedule
    uint64_t nText = 0;   // the pushed text it comes from; 0 for none
  };
  struct Transfer {
    Request request;
    uint64_t nStartMs = 0;
    uint64_t nStartText = 0;  // number of its printed start text
  };
  struct Slot {
    std::deque<uint64_t> waiting;  // requests not started, oldest first
    bool bBusy = false;            // one of its requests is in flight
    uint64_t nRetryText = 0;       // text of the URL waiting for a retry
  };
  struct PushedText {
    uint64_t nId = 0;
    std::string strText;
    size_t nOpen = 0;  // its URLs not answered yet
  };
  struct Client {
    ClientOptions options;
    std::vector<Slot> slots;
    CRetrySchedule retries;
    uint64_t nLastSendMs = 0;
    bool bSent = false;
    bool bRetired = false;
    uint64_t nRetiredUntilMs = 0;
    std::deque<PushedText> texts;
  };
  struct MultiDeleter {
    void operator()(void* handle) const;
  };

  Slot& SlotOf(Client& client, size_t slot);
  void Enqueue(Request request);
  void Unqueue(uint64_t seq);
  // Starts every request at the front of its host queue whose slot is free.
  void StartReady();
  void Start(const Request& request);
  // Ends the finished transfers the library reports.
  void CollectFinished();
  void Finish(void* easy, FetchResult result, int curlCode);
  // The end of one URL of pushed text `text`: once all are answered, it is done.
  void CloseText(Client& client, uint64_t text);
  void QueueDueRetries(uint64_t nowMs);
  void EndOverdue(uint64_t nowMs);
  // Drops every queued URL and waiting retry of `client`; returns how many.
  size_t DropQueued(Client& client);
  void ForgetIdleRetiredClients();

  const CFetchAbort* pAbort;
  IStatusPrinter& output;
  TransferLimits transferLimits;
  int nMaxPerHost = 1;
  CSocketWaitSet sockets;
  uint64_t nTimerDueMs = UINT64_MAX;  // when the library wants its timer served
  uint64_t nNextSeq = 1;
  uint64_t nNextText = 1;
  int nNextClient = 0;
  std::map<int, Client> clients;
  std::map<uint64_t, Request> queued;                 // by sequence number
  std::map<std::string, std::deque<uint64_t>> hosts;  // host -> queued, in order
  std::map<std::string, int> hostsInFlight;
  std::map<void*, Transfer> transfers;  // by transfer handle
  // Declared last so it is freed first, while the socket set it reports to exists.
  std::unique_ptr<void, MultiDeleter> hMulti;
};

// "host:port" of `url` (lower case; the scheme's port when none is written): the
// key under which requests to one server keep their order. Empty when the URL
// names no host.
std::string HostKeyOf(const std::string& url);

#endif  // QUILLRADE_ENGINE_DELIVERY_H_
