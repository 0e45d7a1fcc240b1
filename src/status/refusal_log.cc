#include "status/refusal_log.h"

#include <algorithm>
#include <cinttypes>

#include "status/log_output.h"

namespace {

// A client's path or address is cut to this many bytes in the line.
constexpr int kShownBytes = 100;

}  // namespace

CRefusalLog::CRefusalLog() { lock.SetName("CRefusalLog::lock"); }

void CRefusalLog::Refused(const std::string& what, const std::string& address, uint64_t nowMs) {
  CGrabSimpleCritSec grab(&lock, "CRefusalLog::Refused");
  EndWindowIfPassed(nowMs);
  if (!bWindowOpen) {
    bWindowOpen = true;
    nWindowStartMs = nowMs;
  }
  const bool known = std::find(addresses.begin(), addresses.end(), address) != addresses.end();
  if (known || addresses.size() >= kMaxLines) {
    ++nNotShown;
    return;
  }
  addresses.push_back(address);
  g_logOutput.Printf("%.*s refused from %.*s: missing or wrong access token\n", kShownBytes,
                     what.c_str(), kShownBytes, address.c_str());
}

void CRefusalLog::Flush(uint64_t nowMs) {
  CGrabSimpleCritSec grab(&lock, "CRefusalLog::Flush");
  EndWindowIfPassed(nowMs);
}

void CRefusalLog::EndWindowIfPassed(uint64_t nowMs) {
  if (!bWindowOpen || nowMs - nWindowStartMs < kWindowMs) return;
  if (nNotShown > 0) g_logOutput.Printf("%" PRIu64 " more requests refused\n", nNotShown);
  bWindowOpen = false;
  addresses.clear();
  nNotShown = 0;
}
