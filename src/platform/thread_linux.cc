#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

struct CPlatformThread::Shared {
  std::function<void()> body;
  pthread_t handle{};
  std::mutex mutex;
  std::condition_variable changed;
  // Guarded by mutex.
  bool bTidKnown = false;
  bool bGateOpen = false;
  bool bCancelled = false;
  uint32_t nTid = 0;
};

namespace {

void* ThreadEntry(void* arg) {
  auto* shared = static_cast<CPlatformThread::Shared*>(arg);
  bool run = false;
  {
    std::unique_lock<std::mutex> hold(shared->mutex);
    shared->nTid = static_cast<uint32_t>(gettid());
    shared->bTidKnown = true;
    shared->changed.notify_all();
    shared->changed.wait(hold, [shared] { return shared->bGateOpen; });
    run = !shared->bCancelled;
  }
  if (run) shared->body();
  return nullptr;
}

// nice value for a relative level other than idle.
int NiceForPriority(int osPriority) {
  if (osPriority <= -2) return 10;
  if (osPriority == -1) return 5;
  if (osPriority == 0) return 0;
  if (osPriority == 1) return -5;
  if (osPriority < 15) return -10;
  return -20;
}

bool ApplyPriority(pid_t tid, int osPriority) {
  sched_param param{};
  param.sched_priority = 0;
  if (osPriority <= -15) return sched_setscheduler(tid, SCHED_IDLE, &param) == 0;
  // Leave SCHED_IDLE (or a real-time policy) first when the thread has one.
  const int policy = sched_getscheduler(tid);
  if (policy != SCHED_OTHER && sched_setscheduler(tid, SCHED_OTHER, &param) != 0) return false;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceForPriority(osPriority)) == 0;
}

}  // namespace

CPlatformThread::CPlatformThread() : shared(std::make_unique<Shared>()) {}

std::unique_ptr<CPlatformThread> CPlatformThread::CreateSuspended(std::function<void()> body,
                                                                  size_t stackSize, CResult* why) {
  std::unique_ptr<CPlatformThread> thread(new CPlatformThread());
  Shared* shared = thread->shared.get();
  shared->body = std::move(body);
  pthread_attr_t attr;
  const int initialised = pthread_attr_init(&attr);
  if (initialised != 0) {
    if (why != nullptr) *why = CResult::FromSystemError("create a thread", initialised);
    return nullptr;
  }
  if (stackSize > 0) {
    pthread_attr_setstacksize(&attr, std::max<size_t>(stackSize, PTHREAD_STACK_MIN));
  }
  const int created = pthread_create(&shared->handle, &attr, ThreadEntry, shared);
  pthread_attr_destroy(&attr);
  if (created != 0) {
    if (why != nullptr) *why = CResult::FromSystemError("create a thread", created);
    return nullptr;
  }
  std::unique_lock<std::mutex> hold(shared->mutex);
  shared->changed.wait(hold, [shared] { return shared->bTidKnown; });
  return thread;
}

CPlatformThread::~CPlatformThread() {
  {
    std::lock_guard<std::mutex> hold(shared->mutex);
    if (!shared->bGateOpen) shared->bCancelled = true;
    shared->bGateOpen = true;
  }
  shared->changed.notify_all();
  pthread_join(shared->handle, nullptr);
}

void CPlatformThread::Resume() {
  {
    std::lock_guard<std::mutex> hold(shared->mutex);
    shared->bGateOpen = true;
  }
  shared->changed.notify_all();
}

uint32_t CPlatformThread::ThreadId() const {
  std::lock_guard<std::mutex> hold(shared->mutex);
  return shared->nTid;
}

bool CPlatformThread::SetPriority(int osPriority) {
  return ApplyPriority(static_cast<pid_t>(ThreadId()), osPriority);
}

bool CPlatformThread::SetAffinity(uint64_t mask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0; cpu < 64; ++cpu) {
    if (mask & (uint64_t{1} << cpu)) CPU_SET(cpu, &set);
  }
  return sched_setaffinity(static_cast<pid_t>(ThreadId()), sizeof(set), &set) == 0;
}

namespace {

sched_param RoundRobinParam(int level) {
  sched_param param{};
  param.sched_priority =
      std::clamp(level, sched_get_priority_min(SCHED_RR), sched_get_priority_max(SCHED_RR));
  return param;
}

}  // namespace

bool CPlatformThread::SetAbsoluteLevel(int level) {
  const sched_param param = RoundRobinParam(level);
  return sched_setscheduler(static_cast<pid_t>(ThreadId()), SCHED_RR, &param) == 0;
}

bool SetCurrentThreadAbsoluteLevel(int level) {
  const sched_param param = RoundRobinParam(level);
  return pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0;
}

bool IsAbsolutePriorityAvailable() {
  static const bool available = [] {
    bool ok = false;
    std::thread probe([&ok] { ok = SetCurrentThreadAbsoluteLevel(1); });
    probe.join();
    return ok;
  }();
  return available;
}

bool SetCurrentThreadOsPriority(int osPriority) { return ApplyPriority(gettid(), osPriority); }

bool IsProcessRealTimeClass() {
  const int policy = sched_getscheduler(getpid());
  return policy == SCHED_FIFO || policy == SCHED_RR;
}

void SetCurrentThreadName(const char* name) {
  char cut[16] = {};
  std::strncpy(cut, name ? name : "", sizeof(cut) - 1);
  pthread_setname_np(pthread_self(), cut);
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(gettid()); }
