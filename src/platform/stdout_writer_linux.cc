#include "platform/stdout_writer.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Signals that report a fault of the thread itself stay deliverable, so that a
// crash in the writer still reaches the crash reporter.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};

}  // namespace

bool CStdoutWriter::InForkedChild() const { return getpid() != nOwnerPid; }

// The thread starts with every signal but the fault signals blocked: signal
// handlers run on the other threads, and a reader that went away gives EPIPE
// here instead of ending the process.
bool CStdoutWriter::StartThreadLocked() {
  sigset_t all;
  sigfillset(&all);
  for (const int signal : kFaultSignals) sigdelset(&all, signal);
  sigset_t previous;
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  bStarted = pthread_create(&thread, nullptr, &CStdoutWriter::ThreadEntry, this) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return bStarted;
}

// Blocks until the descriptor took every byte. A descriptor that someone else
// made non-blocking is waited for; any other failure gives up.
bool CStdoutWriter::WriteWhole(const char* bytes, size_t length) const {
  while (length > 0) {
    const ssize_t written = write(nDescriptor, bytes, length);
    if (written > 0) {
      bytes += written;
      length -= static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd ready{nDescriptor, POLLOUT, 0};
      poll(&ready, 1, -1);
      continue;
    }
    return false;
  }
  return true;
}
