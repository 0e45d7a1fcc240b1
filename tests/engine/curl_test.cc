#include "engine/curl.h"

#include <gtest/gtest.h>

#include <chrono>

#include "engine/http_receiver_support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class CCurlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(receiver.Start()); }

  CHttpReceiver receiver;
  CCurl curl;
};

TEST_F(CCurlTest, SendsTargetBytesExactlyAsGiven) {
  const char* targets[] = {
      "/",
      "/set?title=Blue%20Sky&artist=A%26B",
      "/q?x=%3D%3F%2F",
      "/hi?v=%c3%a9%ff",
      "/m?v=%5BCR%5D%5BTAB%5D",
      "/path/with/slashes?a=b&c=d",
  };
  for (const char* target : targets) {
    EXPECT_TRUE(curl.Fetch(receiver.BaseUrl() + target)) << target;
  }
  ASSERT_EQ(receiver.RequestCount(), std::size(targets));
  std::vector<std::string> lines = receiver.RequestLines();
  for (size_t i = 0; i < std::size(targets); ++i) {
    EXPECT_EQ(lines[i], std::string("GET ") + targets[i] + " HTTP/1.1");
  }
}

TEST_F(CCurlTest, SuccessOnlyForStatusBelow400) {
  struct Case {
    int status;
    bool expected;
  } cases[] = {{200, true}, {204, true}, {302, true}, {404, false}, {500, false}, {200, true}};
  for (const Case& c : cases) {
    receiver.SetStatus(c.status);
    EXPECT_EQ(curl.Fetch(receiver.BaseUrl() + "/s"), c.expected) << c.status;
  }
}

TEST_F(CCurlTest, EveryRequestUsesANewConnection) {
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(curl.Fetch(receiver.BaseUrl() + "/again"));
  EXPECT_EQ(receiver.RequestCount(), 4u);
  // The receiver keeps connections alive; only a fresh connect per request
  // gives one connection per request.
  EXPECT_EQ(receiver.ConnectionCount(), 4u);
}

TEST_F(CCurlTest, RefusedConnectionAndBadUrlFailAndHandleStaysUsable) {
  int port = receiver.Port();
  receiver.Stop();
  EXPECT_FALSE(curl.Fetch("http://127.0.0.1:" + std::to_string(port) + "/gone"));
  EXPECT_FALSE(curl.Fetch(""));
  EXPECT_FALSE(curl.Fetch("not a url"));

  CHttpReceiver second;
  ASSERT_TRUE(second.Start());
  EXPECT_TRUE(curl.Fetch(second.BaseUrl() + "/back"));
  EXPECT_EQ(second.RequestLines(), std::vector<std::string>{"GET /back HTTP/1.1"});
}

TEST(CCurlTimeoutTest, ConnectTimeoutEndsAnUnansweredConnect) {
  CFullBacklogListener listener;
  if (!listener.Start()) GTEST_SKIP() << "cannot make a connect attempt hang here";
  CCurl curl;
  EXPECT_EQ(curl.ConnectTimeout(), 20);
  curl.SetConnectTimeout(1);
  auto begin = steady_clock::now();
  EXPECT_FALSE(curl.Fetch("http://127.0.0.1:" + std::to_string(listener.Port()) + "/"));
  auto elapsed = steady_clock::now() - begin;
  // Far below the 20 s default and the 120 s transfer limit, so the configured
  // value was used.
  EXPECT_GE(elapsed, milliseconds(500));
  EXPECT_LT(elapsed, milliseconds(10000));
}

}  // namespace
