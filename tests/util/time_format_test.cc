#include "util/time_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

namespace {

std::string ExpectedNow() {
  const time_t now = time(nullptr);
  tm parts{};
  localtime_r(&now, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

TEST(CTimeFormatTest, PrintsCurrentLocalTimeInFixedWidth) {
  const std::regex shape(R"(\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01]) ([01]\d|2[0-3]):[0-5]\d:[0-6]\d)");
  // Retry when the second turns over between the readings.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::string before = ExpectedNow();
    const std::string stamp = LocalTimestamp();
    const std::string after = ExpectedNow();
    ASSERT_EQ(stamp.size(), 19u) << stamp;
    EXPECT_TRUE(std::regex_match(stamp, shape)) << stamp;
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
