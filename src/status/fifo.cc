#include "status/fifo.h"

#include <algorithm>
#include <cstring>

CFifo::CFifo(size_t capacity) : ring(capacity) { lock.SetName("CFifo::lock"); }

void CFifo::Reset(size_t capacity) {
  std::vector<char> fresh(capacity);
  CGrabSimpleCritSec grab(&lock, "CFifo::Reset");
  ring.swap(fresh);
  nHead = 0;
  nCount = 0;
  nOverruns = 0;
  nDroppedBytes = 0;
}

size_t CFifo::Write(const char* bytes, size_t length) {
  CGrabSimpleCritSec grab(&lock, "CFifo::Write");
  const size_t stored = std::min(length, ring.size() - nCount);
  if (stored < length) {
    ++nOverruns;
    nDroppedBytes += length - stored;
  }
  size_t tail = ring.empty() ? 0 : (nHead + nCount) % ring.size();
  size_t done = 0;
  while (done < stored) {
    const size_t piece = std::min(stored - done, ring.size() - tail);
    std::memcpy(ring.data() + tail, bytes + done, piece);
    done += piece;
    tail = (tail + piece) % ring.size();
  }
  nCount += stored;
  return stored;
}

size_t CFifo::Read(char* buffer, size_t maximum) {
  CGrabSimpleCritSec grab(&lock, "CFifo::Read");
  const size_t taken = std::min(maximum, nCount);
  size_t done = 0;
  while (done < taken) {
    const size_t piece = std::min(taken - done, ring.size() - nHead);
    std::memcpy(buffer + done, ring.data() + nHead, piece);
    done += piece;
    nHead = (nHead + piece) % ring.size();
  }
  nCount -= taken;
  if (nCount == 0) nHead = 0;
  return taken;
}

size_t CFifo::Waiting() const {
  CGrabSimpleCritSec grab(&lock, "CFifo::Waiting");
  return nCount;
}

size_t CFifo::Capacity() const {
  CGrabSimpleCritSec grab(&lock, "CFifo::Capacity");
  return ring.size();
}

uint64_t CFifo::Overruns() const {
  CGrabSimpleCritSec grab(&lock, "CFifo::Overruns");
  return nOverruns;
}

uint64_t CFifo::DroppedBytes() const {
  CGrabSimpleCritSec grab(&lock, "CFifo::DroppedBytes");
  return nDroppedBytes;
}
