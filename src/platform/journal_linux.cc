#include "platform/journal.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "platform/thread.h"

namespace {

// Entries that may wait for the journal; more are dropped.
constexpr size_t kMaxWaitingEntries = 4096;
// How long the end of the process waits for the journal to take what waits.
constexpr int kExitDrainMs = 1000;

// The journal's socket blocks when journald falls behind; one thread of its own
// sends, so that no printing thread ever waits for it (as with standard output).
class CJournalQueue {
 public:
  bool Push(std::vector<std::string> fields) {
    std::unique_lock<std::mutex> hold(lock);
    if (!bStarted) bDirect = !Start();
    if (bDirect) {
      hold.unlock();
      return Send(fields);
    }
    if (waiting.size() >= kMaxWaitingEntries) return false;
    waiting.push_back(std::move(fields));
    hold.unlock();
    wake.notify_one();
    return true;
  }

  void Drain(int milliseconds) {
    std::unique_lock<std::mutex> hold(lock);
    drained.wait_for(hold, std::chrono::milliseconds(milliseconds),
                     [this] { return waiting.empty() && !bSending; });
  }

 private:
  static bool Send(const std::vector<std::string>& fields) {
    std::vector<struct iovec> parts;
    parts.reserve(fields.size());
    for (const std::string& field : fields) {
      parts.push_back({const_cast<char*>(field.data()), field.size()});
    }
    return sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) == 0;
  }

  // REQUIRES: lock held. The thread takes no signal but the faults, which the
  // crash reporter must see.
  bool Start() {
    bStarted = true;
    sigset_t all;
    sigfillset(&all);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) {
      sigdelset(&all, fault);
    }
    sigset_t previous;
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    const bool started = pthread_create(&thread, nullptr, &CJournalQueue::Entry, this) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started) pthread_detach(thread);
    return started;
  }

  static void* Entry(void* self) {
    SetCurrentThreadName("CJournalQueue");
    static_cast<CJournalQueue*>(self)->Run();
    return nullptr;
  }

  void Run() {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      wake.wait(hold, [this] { return !waiting.empty(); });
      std::vector<std::string> fields = std::move(waiting.front());
      waiting.pop_front();
      bSending = true;
      hold.unlock();
      Send(fields);
      hold.lock();
      bSending = false;
      drained.notify_all();
    }
  }

  std::mutex lock;
  std::condition_variable wake;
  std::condition_variable drained;
  std::deque<std::vector<std::string>> waiting;
  bool bStarted = false;
  bool bDirect = false;  // no thread could be started: send in the caller
  bool bSending = false;
};

// Never destroyed: a print from a destructor at exit may still send.
CJournalQueue& Queue() {
  static CJournalQueue* const queue = [] {
    auto* made = new CJournalQueue();
    std::atexit([] { Queue().Drain(kExitDrainMs); });
    return made;
  }();
  return *queue;
}

}  // namespace

bool IsStdoutJournalStream() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  uintmax_t device = 0;
  uintmax_t inode = 0;
  if (std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2) return false;
  struct stat info;
  if (fstat(1, &info) != 0) return false;
  // A redirection made after systemd started the process points elsewhere.
  return static_cast<uintmax_t>(info.st_dev) == device &&
         static_cast<uintmax_t>(info.st_ino) == inode;
}

bool SendJournalEntry(const std::vector<std::string>& fields) { return Queue().Push(fields); }
