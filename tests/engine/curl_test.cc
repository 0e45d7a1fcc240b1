#include "engine/curl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

// The status and the library's result code of each request stay readable, so
// the counters can tell an error status from a failed connect or a timeout.
TEST_F(CCurlTest, SuccessOnlyForStatusBelow400AndTheStatusIsKept) {
  struct Case {
    int status;
    FetchResult expected;
  } cases[] = {{200, FetchResult::kOk},        {204, FetchResult::kOk},
               {302, FetchResult::kOk},        {404, FetchResult::kHttpError},
               {500, FetchResult::kHttpError}, {200, FetchResult::kOk}};
  for (const Case& c : cases) {
    receiver.SetStatus(c.status);
    const FetchResult result = curl.Perform(receiver.BaseUrl() + "/s");
    EXPECT_EQ(result, c.expected) << c.status;
    EXPECT_EQ(curl.LastHttpStatus(), c.status);
    const bool ok = c.expected == FetchResult::kOk;
    EXPECT_EQ(curl.LastResultCode(), ok ? 0 : 22) << c.status;
    EXPECT_EQ(ClassifyFailure(result, curl.LastResultCode()),
              ok ? RequestFailure::kNone : RequestFailure::kHttpStatus);
    EXPECT_EQ(curl.Fetch(receiver.BaseUrl() + "/s"), c.expected == FetchResult::kOk) << c.status;
  }
}

TEST_F(CCurlTest, EveryRequestUsesANewConnection) {
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(curl.Fetch(receiver.BaseUrl() + "/again"));
  EXPECT_EQ(receiver.RequestCount(), 4u);
  // The receiver keeps connections alive; only a fresh connect per request
  // gives one connection per request.
  EXPECT_EQ(receiver.ConnectionCount(), 4u);
}

// Only a target that gave no answer at all can be helped by trying again, so
// that case must be told apart from answers and from URLs that cannot work.
TEST_F(CCurlTest, FailuresAreToldApartAndHandleStaysUsable) {
  CHttpReceiver hangUp;
  hangUp.SetHangUp(true);
  ASSERT_TRUE(hangUp.Start());
  CHttpReceiver down;
  ASSERT_TRUE(down.Reserve());
  struct Case {
    std::string url;
    FetchResult expected;
    RequestFailure failure;  // the cause the counters give it
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(down.Port()) + "/refused", FetchResult::kNoAnswer,
       RequestFailure::kConnect},
      {hangUp.BaseUrl() + "/closed-before-answer", FetchResult::kNoAnswer, RequestFailure::kOther},
      {"", FetchResult::kInvalidUrl, RequestFailure::kOther},
      {"http://[127.0.0.1/", FetchResult::kInvalidUrl, RequestFailure::kOther},
      {"nosuch://127.0.0.1/x", FetchResult::kInvalidUrl, RequestFailure::kOther},
  };
  for (const Case& c : cases) {
    const FetchResult result = curl.Perform(c.url);
    EXPECT_EQ(result, c.expected) << c.url;
    EXPECT_EQ(ClassifyFailure(result, curl.LastResultCode()), c.failure) << c.url;
    EXPECT_EQ(curl.LastHttpStatus(), 0) << c.url;
  }
  EXPECT_EQ(hangUp.RequestCount(), 1u);

  ASSERT_TRUE(down.Start());
  EXPECT_EQ(curl.Perform(down.BaseUrl() + "/back"), FetchResult::kOk);
  EXPECT_EQ(down.RequestLines(), std::vector<std::string>{"GET /back HTTP/1.1"});
}

// A stop must not wait for a target that accepted the request and stays silent
// (the server response timeout is 30 s).
TEST(CCurlAbortTest, AbortEndsTheRequestInFlightAndRefusesLaterOnes) {
  CHttpReceiver silent;
  silent.SetSilent(true);
  ASSERT_TRUE(silent.Start());
  CFetchAbort abort;
  CCurl curl(&abort);
  FetchResult result = FetchResult::kOk;
  std::thread request([&] { result = curl.Perform(silent.BaseUrl() + "/hangs"); });
  ASSERT_TRUE(silent.WaitForRequests(1, std::chrono::seconds(5)));
  const auto abortedAt = steady_clock::now();
  abort.Abort();
  request.join();
  EXPECT_EQ(result, FetchResult::kAborted);
  EXPECT_LT(steady_clock::now() - abortedAt, milliseconds(2000));

  // Later requests, also of a client made after the abort, are not even started.
  CCurl later(&abort);
  EXPECT_EQ(curl.Perform(silent.BaseUrl() + "/after"), FetchResult::kAborted);
  EXPECT_EQ(later.Perform(silent.BaseUrl() + "/after"), FetchResult::kAborted);
  EXPECT_EQ(silent.RequestCount(), 1u);

  abort.Reset();
  silent.SetSilent(false);
  EXPECT_EQ(later.Perform(silent.BaseUrl() + "/again"), FetchResult::kOk);
}

TEST(CCurlTimeoutTest, ConnectTimeoutEndsAnUnansweredConnect) {
  CFullBacklogListener listener;
  if (!listener.Start()) GTEST_SKIP() << "cannot make a connect attempt hang here";
  CCurl curl;
  EXPECT_EQ(curl.ConnectTimeout(), 20);
  curl.SetConnectTimeout(1);
  auto begin = steady_clock::now();
  EXPECT_EQ(curl.Perform("http://127.0.0.1:" + std::to_string(listener.Port()) + "/"),
            FetchResult::kNoAnswer);
  auto elapsed = steady_clock::now() - begin;
  EXPECT_EQ(ClassifyFailure(FetchResult::kNoAnswer, curl.LastResultCode()),
            RequestFailure::kTimeout);
  // Far below the 20 s default and the 120 s transfer limit, so the configured
  // value was used.
  EXPECT_GE(elapsed, milliseconds(500));
  EXPECT_LT(elapsed, milliseconds(10000));
}

}  // namespace
