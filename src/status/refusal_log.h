// The status lines about requests refused for a missing or wrong access token,
// bounded so that a flood cannot fill the ring of recent texts: one line per
// client address and minute, at most kMaxLines lines a minute in all; the
// refusals not shown get one "N more requests refused" line when their minute
// has passed.
//
// Threads: any thread; one short lock. Lines are printed under it (the status
// output never calls back here).
#ifndef QUILLRADE_STATUS_REFUSAL_LOG_H_
#define QUILLRADE_STATUS_REFUSAL_LOG_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/simple_mutex.h"

class CRefusalLog {
 public:
  static constexpr uint64_t kWindowMs = 60000;
  static constexpr size_t kMaxLines = 10;

  CRefusalLog();
  CRefusalLog(const CRefusalLog&) = delete;
  CRefusalLog& operator=(const CRefusalLog&) = delete;

  // One refused request: prints "<what> refused from <address>: missing or wrong
  // access token" unless this minute already has a line for the address or all
  // its lines; those refusals are counted instead. `nowMs`: monotonic time.
  void Refused(const std::string& what, const std::string& address, uint64_t nowMs);
  // Prints the count of the refusals not shown once their minute has passed.
  // Called regularly, so the count comes out even when the flood has stopped.
  void Flush(uint64_t nowMs);

 private:
  void EndWindowIfPassed(uint64_t nowMs) QR_EXCLUSIVE_LOCKS_REQUIRED(lock);

  CSimpleCritSec lock;
  bool bWindowOpen QR_GUARDED_BY(lock) = false;
  uint64_t nWindowStartMs QR_GUARDED_BY(lock) = 0;
  std::vector<std::string> addresses QR_GUARDED_BY(lock);  // had their line this minute
  uint64_t nNotShown QR_GUARDED_BY(lock) = 0;
};

#endif  // QUILLRADE_STATUS_REFUSAL_LOG_H_
