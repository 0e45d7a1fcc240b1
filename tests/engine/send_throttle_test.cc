#include "engine/send_throttle.h"

#include <gtest/gtest.h>

namespace {

TEST(CSendThrottleTest, LeadingEdgeAtOnceThenOneSendPerSpacing) {
  CSendThrottle throttle;
  EXPECT_TRUE(throttle.MaySendNow(0)) << "never sent";
  EXPECT_TRUE(throttle.MaySendNow(5000));
  throttle.RecordSend(5000);
  EXPECT_EQ(throttle.NextSendTime(), 5100u);
  EXPECT_FALSE(throttle.MaySendNow(5000));
  EXPECT_FALSE(throttle.MaySendNow(5099));
  EXPECT_TRUE(throttle.MaySendNow(5100)) << "trailing edge";
  throttle.RecordSend(5150);
  EXPECT_FALSE(throttle.MaySendNow(5200));
  EXPECT_TRUE(throttle.MaySendNow(5250));
}

}  // namespace
