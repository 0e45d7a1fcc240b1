#include "util/time_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"

namespace {

// Read from the clock the program reads: time() follows a coarser clock that may
// still show the previous second.
std::string ExpectedNow() {
  const LocalTime now = GetLocalTime();
  char text[32];
  snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", now.nYear, now.nMonth, now.nDay,
           now.nHour, now.nMinute, now.nSecond);
  return text;
}

// "YYYY-MM-DD hh:mm:ss" with each field inside its range (hour 00..23).
bool HasTimestampShape(const std::string& text) {
  const std::string pattern = "dddd-dd-dd dd:dd:dd";
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == 'd' ? !digit : text[i] != pattern[i]) return false;
  }
  auto field = [&text](size_t at) { return std::stoi(text.substr(at, 2)); };
  return field(5) >= 1 && field(5) <= 12 && field(8) >= 1 && field(8) <= 31 && field(11) <= 23 &&
         field(14) <= 59 && field(17) <= 60;
}

TEST(CTimeFormatTest, PrintsCurrentLocalTimeInFixedWidth) {
  // Retry when the second turns over between the readings.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::string before = ExpectedNow();
    const std::string stamp = LocalTimestamp();
    const std::string after = ExpectedNow();
    ASSERT_EQ(stamp.size(), 19u) << stamp;
    EXPECT_TRUE(HasTimestampShape(stamp)) << stamp;
    if (before == after) {
      EXPECT_EQ(stamp, before);
      return;
    }
  }
  FAIL() << "the clock kept moving";
}

TEST(CTimeFormatTest, ShortBuffersGetCutAndTerminatedText) {
  for (size_t size : {1u, 5u, 11u, 19u, 20u}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      char buffer[32];
      std::memset(buffer, '#', sizeof buffer);
      const std::string before = ExpectedNow();
      FormatLocalTimestamp(buffer, size);
      if (ExpectedNow() != before) continue;
      EXPECT_EQ(buffer[size], '#') << "wrote past a buffer of " << size;
      EXPECT_EQ(std::string(buffer), before.substr(0, std::min<size_t>(size - 1, 19))) << size;
      break;
    }
  }
  char untouched = '#';
  FormatLocalTimestamp(&untouched, 0);
  EXPECT_EQ(untouched, '#');
}

}  // namespace
