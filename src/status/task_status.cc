#include "status/task_status.h"

#include <algorithm>
#include <string>

namespace {

constexpr double kMicrosPerSecond = 1e6;

size_t BucketOf(double seconds) {
  const auto bound =
      std::lower_bound(kRequestSecondsBuckets.begin(), kRequestSecondsBuckets.end(), seconds);
  return static_cast<size_t>(bound - kRequestSecondsBuckets.begin());
}

uint64_t Load(const std::atomic<uint64_t>& counter) {
  return counter.load(std::memory_order_relaxed);
}

}  // namespace

const char* RequestFailureName(RequestFailure failure) {
  switch (failure) {
    case RequestFailure::kConnect:
      return "connect";
    case RequestFailure::kTimeout:
      return "timeout";
    case RequestFailure::kHttpStatus:
      return "http_status";
    case RequestFailure::kOther:
      return "other";
    case RequestFailure::kNone:
      break;
  }
  return "none";
}

CTaskStatus::CTaskStatus() { lock.SetName("CTaskStatus::lock"); }

void CTaskStatus::Describe(TaskIdentity taskIdentity) {
  CGrabSimpleCritSec grab(&lock, "CTaskStatus::Describe");
  identity = std::move(taskIdentity);
}

void CTaskStatus::CountPush(bool accepted, size_t queued) {
  Add(accepted ? nPushesAccepted : nPushesRefused);
  SetQueuedPushes(queued);
}

void CTaskStatus::PublishValues(std::vector<std::pair<std::string, std::string>> newValues,
                                int64_t unixTime) {
  CGrabSimpleCritSec grab(&lock, "CTaskStatus::PublishValues");
  values = std::move(newValues);
  nLastChangeTime = unixTime;
}

SlotState& CTaskStatus::Slot(size_t slot) {
  while (slots.size() <= slot) {
    slots.emplace_back();
    slots.back().nSlot = slots.size() - 1;
  }
  return slots[slot];
}

void CTaskStatus::StartRequest(size_t slot, const std::string& url, uint64_t nowMs,
                               int64_t unixTime) {
  CGrabSimpleCritSec grab(&lock, "CTaskStatus::StartRequest");
  SlotState& state = Slot(slot);
  state.bInFlight = true;
  state.strInFlightUrl = url;
  state.nInFlightSinceMs = nowMs;
  state.nInFlightSinceUnix = unixTime;
}

void CTaskStatus::RecordRequest(size_t slot, const std::string& url,
                                const RequestOutcome& outcome) {
  Add(nRequests);
  if (outcome.failure != RequestFailure::kNone) {
    Add(failures[static_cast<size_t>(outcome.failure) - 1]);
  } else {
    nLastSuccessTime.store(outcome.nUnixTime, std::memory_order_relaxed);
  }
  Add(durationBuckets[BucketOf(outcome.dSeconds)]);
  nDurationMicros.fetch_add(static_cast<uint64_t>(outcome.dSeconds * kMicrosPerSecond),
                            std::memory_order_relaxed);
  CGrabSimpleCritSec grab(&lock, "CTaskStatus::RecordRequest");
  bHasRequest = true;
  strLastUrl = url;
  lastOutcome = outcome;
  SlotState& state = Slot(slot);
  state.bInFlight = false;
  state.strInFlightUrl.clear();
  const bool ok = outcome.failure == RequestFailure::kNone;
  if (!ok && (!state.bHasResult || state.bOk)) state.nFailingSinceUnix = outcome.nUnixTime;
  state.bHasResult = true;
  state.bOk = ok;
  state.strUrl = url;
  state.strCause = ok ? std::string() : RequestFailureName(outcome.failure);
  if (outcome.nHttpStatus != 0 && !ok) state.strCause += " " + std::to_string(outcome.nHttpStatus);
}

TaskSnapshot CTaskStatus::Snapshot() const {
  TaskSnapshot snapshot;
  LoadCounters(snapshot.counters);
  CGrabSimpleCritSec grab(&lock, "CTaskStatus::Snapshot");
  snapshot.identity = identity;
  snapshot.values = values;
  snapshot.nLastChangeTime = nLastChangeTime;
  snapshot.bHasRequest = bHasRequest;
  snapshot.strLastUrl = strLastUrl;
  snapshot.lastOutcome = lastOutcome;
  snapshot.slots = slots;
  for (const SlotState& slot : slots) snapshot.nInFlight += slot.bInFlight ? 1 : 0;
  return snapshot;
}

// Each counter is read on its own: a snapshot taken while a request is being
// recorded may show it in one counter and not yet in another.
void CTaskStatus::LoadCounters(TaskCounters& counters) const {
  counters.nInputReads = Load(nInputReads);
  counters.nInputChanges = Load(nInputChanges);
  counters.nPushesAccepted = Load(nPushesAccepted);
  counters.nPushesRefused = Load(nPushesRefused);
  counters.nQueuedPushes = Load(nQueuedPushes);
  counters.nRequests = Load(nRequests);
  for (size_t i = 0; i < failures.size(); ++i) counters.failures[i] = Load(failures[i]);
  for (size_t i = 0; i < durationBuckets.size(); ++i) {
    counters.durationBuckets[i] = Load(durationBuckets[i]);
  }
  counters.dDurationSum = static_cast<double>(Load(nDurationMicros)) / kMicrosPerSecond;
  counters.nLastSuccessTime = nLastSuccessTime.load(std::memory_order_relaxed);
}
