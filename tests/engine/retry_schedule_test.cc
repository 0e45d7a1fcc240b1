#include "engine/retry_schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Slots = std::vector<size_t>;

// Follows one unanswered request through every retry that again gets no answer
// and returns the waits between the tries.
std::vector<uint64_t> WaitsWhileUnanswered(CRetrySchedule& schedule, int tries) {
  std::vector<uint64_t> waits;
  uint64_t now = 5000;
  schedule.RecordSent(0, "http://t/a", FetchResult::kNoAnswer, now);
  for (int i = 0; i < tries; ++i) {
    uint64_t due = now + 1;
    while (schedule.DueSlots(due).empty()) ++due;
    waits.push_back(due - now);
    now = due + 7;  // the try itself takes a while; the next wait starts after it
    schedule.RecordRetried(0, FetchResult::kNoAnswer, now);
  }
  return waits;
}

TEST(CRetryScheduleTest, WaitStartsAtOneSecondAndDoublesUpToOneMinute) {
  CRetrySchedule schedule;
  EXPECT_EQ(WaitsWhileUnanswered(schedule, 9),
            (std::vector<uint64_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));
}

TEST(CRetryScheduleTest, OnlyANoAnswerWaitsAndOnlyUntilAnAnswer) {
  const FetchResult ending[] = {FetchResult::kOk, FetchResult::kHttpError, FetchResult::kInvalidUrl,
                                FetchResult::kAborted, FetchResult::kFailed};
  for (const FetchResult result : ending) {
    CRetrySchedule schedule;
    schedule.RecordSent(0, "http://t/a", result, 0);
    EXPECT_TRUE(schedule.Empty()) << static_cast<int>(result);

    schedule.RecordSent(0, "http://t/a", FetchResult::kNoAnswer, 0);
    schedule.RecordRetried(0, FetchResult::kNoAnswer, 1000);
    ASSERT_EQ(schedule.DueSlots(3000), Slots{0});
    schedule.RecordRetried(0, result, 3000);
    EXPECT_TRUE(schedule.Empty()) << static_cast<int>(result);
  }
}

TEST(CRetryScheduleTest, NewerUrlReplacesTheWaitingOneAndStartsAfresh) {
  CRetrySchedule schedule;
  schedule.RecordSent(0, "http://t/old", FetchResult::kNoAnswer, 0);
  schedule.RecordRetried(0, FetchResult::kNoAnswer, 1000);  // next wait 2 s
  schedule.RecordSent(0, "http://t/new", FetchResult::kNoAnswer, 1500);
  EXPECT_EQ(schedule.DueSlots(2499), Slots{});
  ASSERT_EQ(schedule.DueSlots(2500), Slots{0});
  EXPECT_EQ(schedule.PendingUrl(0), "http://t/new");

  // A newer URL that reached its target leaves nothing stale behind.
  schedule.RecordSent(0, "http://t/newest", FetchResult::kHttpError, 2600);
  EXPECT_TRUE(schedule.Empty());
}

TEST(CRetryScheduleTest, SlotsWaitIndependentlyAndComeDueInIndexOrder) {
  CRetrySchedule schedule;
  schedule.RecordSent(2, "http://t/2", FetchResult::kNoAnswer, 0);
  schedule.RecordSent(0, "http://t/0", FetchResult::kNoAnswer, 0);
  schedule.RecordSent(1, "http://t/1", FetchResult::kOk, 0);
  schedule.RecordSent(3, "http://t/3", FetchResult::kNoAnswer, 500);
  EXPECT_EQ(schedule.DueSlots(1000), (Slots{0, 2}));
  EXPECT_EQ(schedule.DueSlots(1500), (Slots{0, 2, 3}));
  schedule.RecordRetried(2, FetchResult::kOk, 1000);
  schedule.RecordRetried(1, FetchResult::kNoAnswer, 1000);  // nothing waits there: no effect
  EXPECT_EQ(schedule.DueSlots(1500), (Slots{0, 3}));
  EXPECT_EQ(schedule.PendingUrl(3), "http://t/3");
}

TEST(CRetryScheduleTest, DisabledScheduleKeepsNothing) {
  CRetrySchedule schedule;
  schedule.RecordSent(0, "http://t/a", FetchResult::kNoAnswer, 0);
  schedule.SetEnabled(false);
  EXPECT_TRUE(schedule.Empty());
  schedule.RecordSent(1, "http://t/b", FetchResult::kNoAnswer, 0);
  EXPECT_TRUE(schedule.Empty());
  EXPECT_EQ(schedule.DueSlots(100000), Slots{});
}

}  // namespace
