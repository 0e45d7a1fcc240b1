// CRetrySchedule: the requests of one task that got no answer at all, one per URL
// index ("slot"), each waiting for another try. A target that was down for a
// moment (a web server restarting) thus still receives the latest value without
// waiting for the next change. Only the latest URL of a slot is kept: a newer
// URL replaces the one waiting, so a stale value is never sent after it.
//
// The wait starts at kFirstBackoffMs and doubles after every further try that
// gets no answer, up to kMaxBackoffMs. Answers of any kind (an error status too),
// invalid URLs, aborted and otherwise failed requests end the retries of a slot.
//
// Times are milliseconds of a monotonic clock, passed in by the caller; the
// schedule never reads a clock and never sleeps: the caller asks which slots are
// due and sends them itself.
// Threads: main thread only (owned by the delivery, one per task).
#ifndef QUILLRADE_ENGINE_RETRY_SCHEDULE_H_
#define QUILLRADE_ENGINE_RETRY_SCHEDULE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/curl.h"

class CRetrySchedule {
 public:
  // Wait before the first retry of an unanswered request.
  static constexpr uint64_t kFirstBackoffMs = 1000;
  // Longest wait between two tries of the same request.
  static constexpr uint64_t kMaxBackoffMs = 60000;

  // When off, nothing is ever kept: every request is tried once. On by default.
  void SetEnabled(bool enabled);
  bool Enabled() const { return bEnabled; }

  // A new URL for `slot` was sent and ended with `result` at `nowMs`: it replaces
  // whatever waited for that slot, and waits itself when it got no answer.
  void RecordSent(size_t slot, const std::string& url, FetchResult result, uint64_t nowMs);
  // The slot's waiting URL was tried again and ended with `result` at `nowMs`:
  // no answer again doubles its wait; anything else ends its retries.
  void RecordRetried(size_t slot, FetchResult result, uint64_t nowMs);

  // The slot's waiting URL is being tried: not due again until RecordRetried.
  void MarkTrying(size_t slot);
  // A newer URL for `slot` supersedes the one waiting: its retries end.
  void Cancel(size_t slot) { pending.erase(slot); }
  bool IsWaiting(size_t slot) const { return pending.count(slot) != 0; }

  // Slots whose wait is over at `nowMs`, in index order.
  std::vector<size_t> DueSlots(uint64_t nowMs) const;
  // When the earliest wait is over; UINT64_MAX when nothing waits for a try.
  uint64_t NextDueMs() const;
  // The URL waiting in `slot`. REQUIRES: the slot is waiting (from DueSlots).
  const std::string& PendingUrl(size_t slot) const { return pending.at(slot).strUrl; }
  bool Empty() const { return pending.empty(); }

 private:
  struct PendingRequest {
    std::string strUrl;
    uint64_t nDueMs = 0;
    uint64_t nBackoffMs = 0;
  };

  bool bEnabled = true;
  std::map<size_t, PendingRequest> pending;
};

#endif  // QUILLRADE_ENGINE_RETRY_SCHEDULE_H_
