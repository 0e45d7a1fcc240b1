// Standard output that never blocks the threads that print. Texts go into a
// bounded queue that one background thread writes out, so a pipe that nobody
// reads, a stalled journal or a paused terminal holds up only that thread: no
// caller waits and no lock is held across the write. A text that does not fit
// is dropped whole and counted; once the output has drained, one line says how
// many texts were dropped.
//
// The inherited descriptor is used as it is: it may be shared with a shell or a
// pager, so its mode (blocking or not) is never changed.
//
//   WriteStdout("Exiting.\n");
//   FlushStdout();  // before the process ends or hands the terminal to a child
//
// Threads: any thread may call Write, Flush and the free functions. In a child
// made by fork without exec no thread is started (such a child may not start
// threads safely): there Write writes straight to the descriptor.
#ifndef QUILLRADE_PLATFORM_STDOUT_WRITER_H_
#define QUILLRADE_PLATFORM_STDOUT_WRITER_H_

#include <pthread.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// How long a flush waits for output that does not move before it gives up.
constexpr int kStdoutFlushStallMs = 1000;

class CStdoutWriter {
 public:
  // Bytes of the process-wide writer that may wait for standard output.
  static constexpr size_t kCapacityBytes = 256 * 1024;
  // Largest piece handed to one write call, so that a flush sees progress often.
  static constexpr size_t kWriteChunkBytes = 4096;

  // Writes to `descriptor`, which is not owned and never closed. `capacity`
  // bounds the bytes waiting; a single text that finds the queue empty is taken
  // whatever its size.
  CStdoutWriter(int descriptor, size_t capacity);
  // Lets the thread write what waits and joins it: the descriptor must take the
  // bytes or fail. The process-wide writer is never destroyed.
  ~CStdoutWriter();
  CStdoutWriter(const CStdoutWriter&) = delete;
  CStdoutWriter& operator=(const CStdoutWriter&) = delete;

  // Queues `text` without waiting. False when it was dropped for want of room.
  bool Write(std::string_view text);
  // Waits until every byte queued before the call has been written (or has
  // failed to write), as long as the output keeps moving: gives up after
  // `stallMs` without progress. True when nothing is left waiting.
  bool Flush(int stallMs);
  // Texts dropped since construction.
  uint64_t DroppedTexts() const;

 private:
  static void* ThreadEntry(void* self);
  void Run();
  // REQUIRES: lock held.
  bool StartThreadLocked();
  bool InForkedChild() const;
  // Writes `bytes` in pieces; `counted` bytes move the flush mark.
  void WriteOut(const std::string& bytes, bool counted);
  // One blocking write of the whole piece; false when the descriptor failed.
  bool WriteWhole(const char* bytes, size_t length) const;
  void MarkDone(size_t length, bool counted);

  // Set at construction, constant after.
  const int nDescriptor;
  const size_t nCapacity;
  const pid_t nOwnerPid;

  mutable std::mutex lock;
  std::condition_variable wake;      // work for the thread
  std::condition_variable progress;  // bytes written, for Flush
  // Guarded by lock.
  std::string pending;
  uint64_t nAccepted = 0;  // bytes ever queued
  uint64_t nDone = 0;      // of those, bytes written or given up
  uint64_t nDropped = 0;
  uint64_t nUnreported = 0;  // dropped texts not yet reported by a line
  bool bStarted = false;
  bool bDirect = false;  // no thread could be started: write in the caller
  bool bFailed = false;  // the descriptor failed: everything is discarded
  bool bStop = false;
  pthread_t thread{};
};

// The process-wide writer on descriptor 1. Flushes itself at exit().
CStdoutWriter& StdoutWriter();
// StdoutWriter().Write(text).
void WriteStdout(std::string_view text);
// StdoutWriter().Flush(stallMs).
bool FlushStdout(int stallMs = kStdoutFlushStallMs);

#endif  // QUILLRADE_PLATFORM_STDOUT_WRITER_H_
