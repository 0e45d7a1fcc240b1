// CCurl: the one outgoing HTTP client of a configuration. Every request is a plain
// GET whose body is thrown away; only how it ended is reported.
//
// CFetchAbort: lets a stopping thread end the request in flight at once, so a
// stop never waits for a silent target (the transfer limit is two minutes).
//
// Ownership: a CCurl owns one reusable transfer handle and the multi handle that
// drives it, released by the destructor. The library's process-wide
// initialisation happens once, on the first construction, and is never undone.
// The CFetchAbort given to a CCurl is not owned and must outlive it.
// Threads: a CCurl is used by one thread at a time (the main thread); a request
// blocks until the transfer ends (at most kTotalTimeoutSeconds) or is aborted.
// CFetchAbort::Abort may be called from any thread.
#ifndef QUILLRADE_ENGINE_CURL_H_
#define QUILLRADE_ENGINE_CURL_H_

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "config/config_schema.h"
#include "runtime/simple_mutex.h"
#include "status/task_status.h"

// How one request ended.
enum class FetchResult {
  kOk,          // answered with a status below 400
  kHttpError,   // answered with a status of 400 or above
  kNoAnswer,    // nothing came back: name not found, refused, timed out, cut off
  kInvalidUrl,  // the URL cannot be requested at all (malformed, unknown scheme)
  kAborted,     // a stop request ended it, or it was not started for that reason
  kFailed,      // any other failure: a broken answer, a local fault
};

// The counters' cause of a request that ended with `result` and the library's
// result code `curlCode`: a timeout, a failed connect and an error status are
// told apart; kNone for success.
RequestFailure ClassifyFailure(FetchResult result, int curlCode);

// The library's process-wide set-up (TLS included), done once before the first
// handle exists; any thread.
void InitCurlLibraryOnce();

// The limits every outgoing request carries.
struct TransferLimits {
  // Longest wait for a connection.
  int nConnectSeconds = 20;
  // A connected request that receives no byte for this long has no answer.
  long nNoAnswerSeconds = 30;
};

// Sets on the library's transfer handle `easy` what every request is: a plain
// GET of `url` on a new connection whose body is thrown away, with `limits`
// and the whole-transfer limit. Shared by CCurl and CDelivery.
void SetRequestOptions(void* easy, const std::string& url, const TransferLimits& limits);
// How the transfer on `easy` that ended with the library's result `code` went.
FetchResult ClassifyTransfer(void* easy, int code);
// The HTTP status of the answer on `easy`; 0 when none came.
int AnswerStatus(void* easy);

class CFetchAbort {
 public:
  CFetchAbort() = default;
  CFetchAbort(const CFetchAbort&) = delete;
  CFetchAbort& operator=(const CFetchAbort&) = delete;

  // Any thread: the request in flight ends at once, and every later one ends
  // before it starts, until Reset.
  void Abort();
  bool IsAborted() const { return bAborted.load(); }
  // Only while no request can be in flight (before the main thread starts).
  void Reset() { bAborted.store(false); }

 private:
  friend class CCurl;
  // The multi handle that Abort wakes; null detaches.
  void Attach(void* multi);

  std::atomic<bool> bAborted{false};
  CSimpleMutex lock;
  // Abort may wake it, and the owner detaches it before freeing it.
  void* pMulti QR_GUARDED_BY(lock) = nullptr;
};

class CCurl {
 public:
  // Connect timeout until the configuration sets one.
  static constexpr int kDefaultConnectTimeoutSeconds =
      SchemaKey(ConfigSection::kGlobal, "http_timeout_seconds").nDefault;
  // Resolved host names are reused for this long.
  static constexpr long kDnsCacheSeconds = 60;
  // Longest silence of a connected server before its request has no answer (a
  // first-answer limit: the library's own one applies to other protocols only).
  static constexpr long kNoAnswerSeconds = 30;
  // Bytes received per read. Bodies are thrown away, so a small buffer keeps
  // many transfers at once cheap.
  static constexpr long kReceiveBufferBytes = 1024;
  // Longest whole transfer, connect included.
  static constexpr long kTotalTimeoutSeconds = 120;

  // `abort` (may be null) lets another thread end this client's requests.
  explicit CCurl(CFetchAbort* abort = nullptr);
  virtual ~CCurl();
  CCurl(const CCurl&) = delete;
  CCurl& operator=(const CCurl&) = delete;

  // One GET of `url` on a new connection; kFailed when the handles could not
  // be created.
  FetchResult Perform(const std::string& url);
  // Perform, reduced to success: true exactly for kOk.
  bool Fetch(const std::string& url) { return Perform(url) == FetchResult::kOk; }

  // The last Perform's library result code (0 = success; -1 when it was aborted
  // or never started) and the HTTP status of its answer (0 when none came), so a
  // timeout can be told from a 404.
  int LastResultCode() const { return nLastResultCode; }
  int LastHttpStatus() const { return nLastHttpStatus; }

  void SetConnectTimeout(int seconds) { nConnectTimeout = seconds; }
  int ConnectTimeout() const { return nConnectTimeout; }

 private:
  struct EasyDeleter {
    void operator()(void* handle) const;
  };
  struct MultiDeleter {
    void operator()(void* handle) const;
  };

  bool IsAborted() const { return pAbort != nullptr && pAbort->IsAborted(); }
  // Drives the added transfer to its end: the library's result, or nothing when
  // an abort cut it short.
  std::optional<int> RunTransfer();

  // Records what the finished transfer gave.
  void RecordResult(int code);

  int nConnectTimeout = kDefaultConnectTimeoutSeconds;
  int nLastResultCode = -1;
  int nLastHttpStatus = 0;
  CFetchAbort* pAbort = nullptr;
  // Declared first so it is freed last: the library wants the transfer handle
  // cleaned up before the multi handle.
  std::unique_ptr<void, MultiDeleter> hMulti;
  std::unique_ptr<void, EasyDeleter> hCurl;
};

#endif  // QUILLRADE_ENGINE_CURL_H_
