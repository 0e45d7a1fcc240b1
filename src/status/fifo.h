// A bounded byte queue between any number of writers and one reader. A write never
// waits for room: what does not fit is dropped and counted. The TCP console uses it
// to take status texts from printing threads without ever blocking them.
//
// Threads: any thread may call any operation; every operation takes the queue's
// own lock for a short copy and nothing else.
#ifndef QUILLRADE_STATUS_FIFO_H_
#define QUILLRADE_STATUS_FIFO_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/simple_mutex.h"

class CFifo {
 public:
  // A queue that holds `capacity` bytes; 0 makes a queue that drops everything.
  explicit CFifo(size_t capacity = 0);
  CFifo(const CFifo&) = delete;
  CFifo& operator=(const CFifo&) = delete;

  // Replaces the storage with one of `capacity` bytes; what waited is discarded.
  // Capacity 0 frees the storage.
  void Reset(size_t capacity);

  // Appends as many bytes as there is room for, oldest first; the rest of the
  // write is dropped. Returns the number of bytes stored.
  size_t Write(const char* bytes, size_t length);

  // Moves up to `maximum` of the oldest bytes into `buffer`; returns their count.
  size_t Read(char* buffer, size_t maximum);

  size_t Waiting() const;
  size_t Capacity() const;
  // Writes that lost bytes, and the number of bytes lost, since the last Reset.
  uint64_t Overruns() const;
  uint64_t DroppedBytes() const;

 private:
  mutable CSimpleCritSec lock;
  std::vector<char> ring QR_GUARDED_BY(lock);
  size_t nHead QR_GUARDED_BY(lock) = 0;   // index of the oldest waiting byte
  size_t nCount QR_GUARDED_BY(lock) = 0;  // bytes waiting
  uint64_t nOverruns QR_GUARDED_BY(lock) = 0;
  uint64_t nDroppedBytes QR_GUARDED_BY(lock) = 0;
};

#endif  // QUILLRADE_STATUS_FIFO_H_
