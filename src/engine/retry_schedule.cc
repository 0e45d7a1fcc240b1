#include "engine/retry_schedule.h"

#include <algorithm>

void CRetrySchedule::SetEnabled(bool enabled) {
  bEnabled = enabled;
  if (!bEnabled) pending.clear();
}

void CRetrySchedule::RecordSent(size_t slot, const std::string& url, FetchResult result,
                                uint64_t nowMs) {
  if (!bEnabled || result != FetchResult::kNoAnswer) {
    pending.erase(slot);
    return;
  }
  pending[slot] = PendingRequest{url, nowMs + kFirstBackoffMs, kFirstBackoffMs};
}

void CRetrySchedule::RecordRetried(size_t slot, FetchResult result, uint64_t nowMs) {
  const auto found = pending.find(slot);
  if (found == pending.end()) return;
  if (result != FetchResult::kNoAnswer) {
    pending.erase(found);
    return;
  }
  PendingRequest& request = found->second;
  request.nBackoffMs = std::min(request.nBackoffMs * 2, kMaxBackoffMs);
  request.nDueMs = nowMs + request.nBackoffMs;
}

std::vector<size_t> CRetrySchedule::DueSlots(uint64_t nowMs) const {
  std::vector<size_t> due;
  for (const auto& [slot, request] : pending) {
    if (request.nDueMs <= nowMs) due.push_back(slot);
  }
  return due;
}

void CRetrySchedule::MarkTrying(size_t slot) {
  const auto found = pending.find(slot);
  if (found != pending.end()) found->second.nDueMs = UINT64_MAX;
}

uint64_t CRetrySchedule::NextDueMs() const {
  uint64_t next = UINT64_MAX;
  for (const auto& [slot, request] : pending) next = std::min(next, request.nDueMs);
  return next;
}
