#include "platform/clock.h"

#include "platform/win_handle.h"

LocalTime GetLocalTime() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return ToLocalTime(now);
}

uint32_t GetTickCount32() { return static_cast<uint32_t>(GetMonotonicMilliseconds()); }

uint64_t GetMonotonicMilliseconds() { return GetTickCount64(); }

int64_t GetUnixTime() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>((FileTimeValue(now) - kFileTimeAt1970) / kFileTimeUnitsPerSecond);
}

void SleepMilliseconds(int milliseconds) {
  if (milliseconds <= 0) return;
  Sleep(static_cast<DWORD>(milliseconds));
}
