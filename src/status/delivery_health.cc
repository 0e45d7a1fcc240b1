#include "status/delivery_health.h"

#include <cinttypes>

#include "status/url_mask.h"
#include "util/text_util.h"
#include "util/utf8_text.h"

namespace {

std::string FailureLine(const TaskSnapshot& task, const SlotState& slot, const std::string& url,
                        const std::string& cause, int64_t since, int64_t now) {
  // The label and the URL come from the configuration: one line per slot stays
  // one line whatever they hold.
  std::string line = StringPrintf("%s Url%" PRIu64 " %s: %s since %" PRId64 " (%" PRId64 " s ago)",
                                  task.identity.strLabel.c_str(), static_cast<uint64_t>(slot.nSlot),
                                  MaskUrlCredentials(url).c_str(), cause.c_str(), since,
                                  now > since ? now - since : 0);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return ToValidUtf8(line) + "\n";
}

}  // namespace

uint64_t InFlightSeconds(const SlotState& slot, const StatusSnapshot& snapshot) {
  if (!slot.bInFlight || snapshot.nNowMs < slot.nInFlightSinceMs) return 0;
  return (snapshot.nNowMs - slot.nInFlightSinceMs) / 1000;
}

std::string DeliveryFailures(const StatusSnapshot& snapshot) {
  std::string text;
  for (const TaskSnapshot& task : snapshot.tasks) {
    for (const SlotState& slot : task.slots) {
      if (slot.bInFlight && snapshot.nNowMs >= slot.nInFlightSinceMs &&
          snapshot.nNowMs - slot.nInFlightSinceMs > CStatusBoard::kStuckRequestMs) {
        const std::string cause =
            StringPrintf("in flight for %" PRIu64 " s", InFlightSeconds(slot, snapshot));
        text += FailureLine(task, slot, slot.strInFlightUrl, cause, slot.nInFlightSinceUnix,
                            snapshot.nNow);
      } else if (slot.bHasResult && !slot.bOk) {
        text += FailureLine(task, slot, slot.strUrl, slot.strCause, slot.nFailingSinceUnix,
                            snapshot.nNow);
      }
    }
  }
  return text;
}
