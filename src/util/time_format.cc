#include "util/time_format.h"

#include "platform/clock.h"
#include "util/text_util.h"

void FormatLocalTimestamp(char* buffer, size_t size) {
  const LocalTime now = GetLocalTime();
  // A short buffer gets the text cut and terminated; that is all callers need.
  BoundedPrintf(buffer, size, "%04i-%02i-%02i %02i:%02i:%02i", now.nYear, now.nMonth, now.nDay,
                now.nHour, now.nMinute, now.nSecond);
}

std::string LocalTimestamp() {
  char buffer[kTimestampBufferSize];
  FormatLocalTimestamp(buffer, sizeof buffer);
  return buffer;
}
