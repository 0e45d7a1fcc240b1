#include "platform/clock.h"

#include <time.h>

LocalTime GetLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  LocalTime result;
  result.nYear = parts.tm_year + 1900;
  result.nMonth = parts.tm_mon + 1;
  result.nDay = parts.tm_mday;
  result.nHour = parts.tm_hour;
  result.nMinute = parts.tm_min;
  result.nSecond = parts.tm_sec;
  return result;
}

uint32_t GetTickCount32() { return static_cast<uint32_t>(GetMonotonicMilliseconds()); }

uint64_t GetMonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

int64_t GetUnixTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec);
}

void SleepMilliseconds(int milliseconds) {
  if (milliseconds <= 0) return;
  timespec wait{};
  wait.tv_sec = milliseconds / 1000;
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&wait, &wait) != 0) {
  }
}
