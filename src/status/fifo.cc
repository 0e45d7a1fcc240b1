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
  const size_t nStored = std::min(length, ring.size() - nCount);
  if (nStored < length) {
    ++nOverruns;
    nDroppedBytes += length - nStored;
  }
  size_t nTail = ring.empty() ? 0 : (nHead + nCount) % ring.size();
  size_t nDone = 0;
  while (nDone < nStored) {
    const size_t nPiece = std::min(nStored - nDone, ring.size() - nTail);
    std::memcpy(ring.data() + nTail, bytes + nDone, nPiece);
    nDone += nPiece;
    nTail = (nTail + nPiece) % ring.size();
  }
  nCount += nStored;
  return nStored;
}

size_t CFifo::Read(char* buffer, size_t maximum) {
  CGrabSimpleCritSec grab(&lock, "CFifo::Read");
  const size_t nTaken = std::min(maximum, nCount);
  size_t nDone = 0;
  while (nDone < nTaken) {
    const size_t nPiece = std::min(nTaken - nDone, ring.size() - nHead);
    std::memcpy(buffer + nDone, ring.data() + nHead, nPiece);
    nDone += nPiece;
    nHead = (nHead + nPiece) % ring.size();
  }
  nCount -= nTaken;
  if (nCount == 0) nHead = 0;
  return nTaken;
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
