// Wall-clock and monotonic time for the rest of the program.
// Any thread may call these; none of them fails.
#ifndef QUILLRADE_PLATFORM_CLOCK_H_
#define QUILLRADE_PLATFORM_CLOCK_H_

#include <cstdint>

// Broken-down local time, as the status headers and the crash report print it.
struct LocalTime {
  int nYear = 0;
  int nMonth = 0;  // 1..12
  int nDay = 0;    // 1..31
  int nHour = 0;   // 0..23
  int nMinute = 0;
  int nSecond = 0;
};

// The current local time (CLOCK_REALTIME through localtime_r).
LocalTime GetLocalTime();

// Milliseconds of CLOCK_MONOTONIC cut to 32 bits; wraps about every 49.7 days.
uint32_t GetTickCount32();

// Milliseconds of CLOCK_MONOTONIC: never goes back, never wraps, unaffected by
// changes of the wall clock. For deadlines that may lie months apart.
uint64_t GetMonotonicMilliseconds();

// Seconds since 1970 (UTC).
int64_t GetUnixTime();

// Sleeps the calling thread for at least `milliseconds`.
void SleepMilliseconds(int milliseconds);

#endif  // QUILLRADE_PLATFORM_CLOCK_H_
