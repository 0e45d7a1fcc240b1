#include "engine/delivery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/http_receiver_support.h"
#include "engine/log_capture_support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using Targets = std::vector<std::string>;

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(healthy.Start()); }

  int AddClient(bool latestWins, bool retries = true) {
    statuses.push_back(std::make_shared<CTaskStatus>());
    return delivery.AddClient({statuses.back(), latestWins, retries, "output0"});
  }
  static std::string Line(const std::string& url, const char* end) {
    return "\nFetching URL: " + url + "..." + end;
  }

  CLogCapture capture;
  CHttpReceiver healthy;
  std::vector<std::shared_ptr<CTaskStatus>> statuses;
  CDelivery delivery;
};

// A target that refuses, one whose connects are never completed and one that
// accepts and never answers each hold only their own slot: another slot of the
// same task and another task keep sending, in order, while the sick request is
// still open.
TEST_F(DeliveryTest, SickTargetsHoldOnlyTheirOwnSlot) {
  CHttpReceiver refusing;
  ASSERT_TRUE(refusing.Reserve());
  CFullBacklogListener dropping;
  const bool canDrop = dropping.Start();
  CHttpReceiver silent;
  ASSERT_TRUE(silent.Start());
  silent.SetSilent(true);
  std::vector<std::string> sick = {"http://127.0.0.1:" + std::to_string(refusing.Port()) + "/r",
                                   silent.BaseUrl() + "/s"};
  if (canDrop) sick.push_back("http://127.0.0.1:" + std::to_string(dropping.Port()) + "/d");

  for (const std::string& sickUrl : sick) {
    healthy.Clear();
    const int task = AddClient(false);
    const int other = AddClient(true);
    capture.Clear();
    const auto start = steady_clock::now();
    for (size_t round = 1; round <= 3; ++round) {
      const std::string value = std::to_string(round);
      delivery.Send(task, {sickUrl, healthy.BaseUrl() + "/own?v=" + value}, nullptr);
      delivery.Send(other, {healthy.BaseUrl() + "/other?v=" + value}, nullptr);
      ASSERT_TRUE(DriveUntil(delivery, [&] { return healthy.RequestCount() == 2 * round; }));
    }
    EXPECT_LT(steady_clock::now() - start, milliseconds(1000)) << sickUrl;
    if (sickUrl != sick[0]) {
      EXPECT_GE(delivery.InFlight(), 1u) << sickUrl;
    }
    EXPECT_EQ(healthy.Targets(), (Targets{"/own?v=1", "/other?v=1", "/own?v=2", "/other?v=2",
                                          "/own?v=3", "/other?v=3"}))
        << sickUrl;
    delivery.RetireClients(0);  // ends the sick request at the next drive
    ASSERT_TRUE(DriveUntilIdle(delivery));
    // Other starts came after the sick one's: its end stands beside its URL.
    EXPECT_NE(capture.Text().find(Line(sickUrl, "ERROR\n")), std::string::npos) << capture.Text();
  }
  EXPECT_EQ(silent.RequestCount(), 1u);
}

// Within a slot one request is in flight at a time: a file task's newer URL
// replaces the one waiting, a push task's URLs all go out in order. A connected
// target that stays silent ends as "no answer" after the limit, and its end is
// printed whole since other texts came after its start.
TEST_F(DeliveryTest, SlotsKeepOrderLatestWinsForFilesAndSilenceEndsAsNoAnswer) {
  delivery.SetLimits({5, 1});
  CHttpReceiver silent;
  ASSERT_TRUE(silent.Start());
  silent.SetSilent(true);
  const int file = AddClient(true, false);
  const int push = AddClient(false, false);
  const std::string texts[] = {"a", "b", "c"};
  const auto start = steady_clock::now();
  for (const std::string& v : texts) {
    delivery.Send(file, {silent.BaseUrl() + "/f?v=" + v}, nullptr);
    delivery.Send(push, {silent.BaseUrl() + "/p?v=" + v}, &v);
  }
  ASSERT_TRUE(DriveUntil(delivery, [&] { return silent.RequestCount() == 1; }));
  EXPECT_EQ(delivery.TakeUnansweredTexts(push), (std::vector<std::string>{"a", "b", "c"}));
  silent.SetSilent(false);
  ASSERT_TRUE(DriveUntilIdle(delivery));
  const auto took = steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(900));
  EXPECT_LT(took, milliseconds(4000));
  EXPECT_EQ(silent.Targets(), (Targets{"/f?v=a", "/p?v=a", "/p?v=b", "/f?v=c", "/p?v=c"}));
  const std::string printed = capture.Text();
  EXPECT_EQ(printed.find(Line(silent.BaseUrl() + "/f?v=a", "ERROR\n")), 0u) << printed;
  EXPECT_EQ(printed.find(Line(silent.BaseUrl() + "/f?v=b", "")), std::string::npos);
  const TaskSnapshot snapshot = statuses[0]->Snapshot();
  EXPECT_EQ(snapshot.counters.failures[static_cast<size_t>(RequestFailure::kTimeout) - 1], 1u);
}

// Requests to one host and port start in composed order, one at a time, over all
// tasks; with nothing overlapping, the texts are one line per request.
TEST_F(DeliveryTest, OneHostSeesTheComposedOrderAndTextsStayOneLineEach) {
  const int a = AddClient(true);
  const int b = AddClient(true);
  delivery.Send(a, {healthy.BaseUrl() + "/a1", healthy.BaseUrl() + "/a1x"}, nullptr);
  // b1 waits behind a1 and a1x for the host, so b2 replaces it.
  delivery.Send(b, {healthy.BaseUrl() + "/b1"}, nullptr);
  delivery.Send(b, {healthy.BaseUrl() + "/b2"}, nullptr);
  ASSERT_TRUE(DriveUntilIdle(delivery));
  EXPECT_EQ(healthy.Targets(), (Targets{"/a1", "/a1x", "/b2"}));
  std::string expected;
  for (const char* target : {"/a1", "/a1x", "/b2"}) {
    expected += Line(healthy.BaseUrl() + target, "OK\n");
  }
  EXPECT_EQ(capture.Text(), expected);
}

// A stop ends a hundred hung requests at once, each with its "ERROR", and names
// the queued ones in one line without starting them.
TEST_F(DeliveryTest, EndAllEndsHundredHungRequestsAtOnce) {
  CHttpReceiver silent;
  ASSERT_TRUE(silent.Start());
  silent.SetSilent(true);
  delivery.SetMaxConnectionsPerHost(100);
  std::vector<int> clients;
  for (int i = 0; i < 100; ++i) clients.push_back(AddClient(false));
  for (int i = 0; i < 100; ++i) {
    delivery.Send(clients[i], {silent.BaseUrl() + "/h" + std::to_string(i)}, nullptr);
  }
  ASSERT_TRUE(DriveUntil(delivery, [&] { return silent.RequestCount() == 100; }));
  for (int i = 0; i < 3; ++i) delivery.Send(clients[0], {silent.BaseUrl() + "/late"}, nullptr);
  capture.Clear();
  const auto start = steady_clock::now();
  delivery.EndAll();
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
  EXPECT_EQ(delivery.InFlight(), 0u);
  const std::string printed = capture.Text();
  size_t errors = 0;
  for (size_t at = printed.find("ERROR\n"); at != std::string::npos;
       at = printed.find("ERROR\n", at + 1)) {
    ++errors;
  }
  EXPECT_EQ(errors, 100u);
  EXPECT_NE(printed.find("\n3 queued URLs dropped, the service is stopping\n"), std::string::npos);
  EXPECT_EQ(printed.find("/late"), std::string::npos);
}

}  // namespace
