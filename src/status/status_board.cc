#include "status/status_board.h"

#include <utility>

#include "platform/clock.h"
#include "status/tcp_console.h"
#include "util/version.h"

CStatusBoard::CStatusBoard() : nStartTime(GetUnixTime()) { lock.SetName("CStatusBoard::lock"); }

void CStatusBoard::SetConfigPath(const std::string& path) { strConfigPath = path; }

void CStatusBoard::RecordConfigLoad(bool succeeded) {
  if (!succeeded) {
    nConfigLoadFailures.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  nConfigLoads.fetch_add(1, std::memory_order_relaxed);
  nConfigLoadTime.store(GetUnixTime(), std::memory_order_relaxed);
}

void CStatusBoard::SetTasks(std::vector<std::shared_ptr<CTaskStatus>> statuses) {
  CGrabSimpleCritSec grab(&lock, "CStatusBoard::SetTasks");
  tasks.swap(statuses);
}

void CStatusBoard::MarkPassCompleted() { nLastPassMs.store(GetMonotonicMilliseconds()); }

void CStatusBoard::CountStatusRequest(size_t pathIndex) {
  if (pathIndex < statusRequests.size()) {
    statusRequests[pathIndex].fetch_add(1, std::memory_order_relaxed);
  }
}

void CStatusBoard::CountRefusedRequest(AccessRefusal cause) {
  refusedRequests[static_cast<size_t>(cause)].fetch_add(1, std::memory_order_relaxed);
}

bool CStatusBoard::IsPassing() const {
  const uint64_t last = nLastPassMs.load();
  return last != 0 && GetMonotonicMilliseconds() - last <= nHealthBoundMs.load();
}

StatusSnapshot CStatusBoard::Snapshot() const {
  StatusSnapshot snapshot;
  snapshot.strVersion = kQuillradeVersion;
  snapshot.nStartTime = nStartTime;
  snapshot.nNow = GetUnixTime();
  snapshot.nNowMs = GetMonotonicMilliseconds();
  snapshot.strConfigPath = strConfigPath;
  snapshot.nConfigLoadTime = nConfigLoadTime.load(std::memory_order_relaxed);
  snapshot.nConfigLoads = nConfigLoads.load(std::memory_order_relaxed);
  snapshot.nConfigLoadFailures = nConfigLoadFailures.load(std::memory_order_relaxed);
  for (size_t i = 0; i < statusRequests.size(); ++i) {
    snapshot.statusRequests[i] = statusRequests[i].load(std::memory_order_relaxed);
  }
  for (size_t i = 0; i < refusedRequests.size(); ++i) {
    snapshot.refusedRequests[i] = refusedRequests[i].load(std::memory_order_relaxed);
  }
  if (pConsole != nullptr) {
    snapshot.nConsoleClients = pConsole->ClientCount();
    snapshot.nConsolePort = pConsole->Port();
  }
  snapshot.nHttpPort = nHttpPort.load();
  snapshot.bPassing = IsPassing();
  std::vector<std::shared_ptr<CTaskStatus>> current;
  {
    CGrabSimpleCritSec grab(&lock, "CStatusBoard::Snapshot");
    current = tasks;
  }
  snapshot.tasks.reserve(current.size());
  for (const auto& task : current) snapshot.tasks.push_back(task->Snapshot());
  return snapshot;
}
