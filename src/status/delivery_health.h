// Judges the delivery for /health/delivery, URL slot by URL slot: a slot is
// failing when its latest ended request failed, or when a request of it has
// been in flight for more than CStatusBoard::kStuckRequestMs. A slot that has
// sent nothing yet is healthy. Pure: any thread.
#ifndef QUILLRADE_STATUS_DELIVERY_HEALTH_H_
#define QUILLRADE_STATUS_DELIVERY_HEALTH_H_

#include <string>

#include "status/status_board.h"

// One line per failing slot ("output0 Url1 http://h/x?key=***: timeout since
// 1765240000 (12 s ago)\n"), URLs masked; empty while every slot is healthy.
std::string DeliveryFailures(const StatusSnapshot& snapshot);

// Seconds a slot's request has been in flight at the snapshot's time.
uint64_t InFlightSeconds(const SlotState& slot, const StatusSnapshot& snapshot);

#endif  // QUILLRADE_STATUS_DELIVERY_HEALTH_H_
