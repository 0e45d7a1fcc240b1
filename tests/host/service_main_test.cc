// The service main and its control handler in-process: the states they report,
// the messages systemd receives and the order of start, stop and power events.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "host/program_description.h"
#include "host/service_mgr.h"
#include "host_test_support.h"
#include "platform/stdout_writer.h"

namespace {

class CSlowStopMgr : public CServiceMgr {
 public:
  int OnServiceStart() override {
    ++nStarts;
    return nStartError;
  }
  void OnServiceStop() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bStopped.store(true);
  }
  int OnPowerEvent(int eventType) override { return 100 + eventType; }

  int nStartError = 0;
  std::atomic<int> nStarts{0};
  std::atomic<bool> bStopped{false};
};

// Points NOTIFY_SOCKET at a test socket for the test's duration.
class CNotifyCapture {
 public:
  CNotifyCapture() { setenv("NOTIFY_SOCKET", socket.Path().c_str(), 1); }
  ~CNotifyCapture() { unsetenv("NOTIFY_SOCKET"); }
  std::string Receive() { return socket.Receive(2000); }

 private:
  CNotifySocket socket;
};

TEST(ServiceMainTest, StopControlReturnsOnlyAfterTheWorkStopped) {
  CNotifyCapture notify;
  CSlowStopMgr mgr;
  mgr.Init(QuillradeServiceDescription());
  std::thread service([&] { mgr.ServiceMain(); });
  EXPECT_EQ(notify.Receive(), "READY=1");
  EXPECT_EQ(mgr.ReportedState(), kServiceStateRunning);
  EXPECT_EQ(mgr.ControlHandler(kServiceControlPowerEvent, 7), 107);
  EXPECT_EQ(mgr.ReportedState(), kServiceStateRunning);

  EXPECT_EQ(mgr.ControlHandler(kServiceControlStop, 0), 0);
  EXPECT_TRUE(mgr.bStopped.load());
  EXPECT_EQ(mgr.ReportedState(), kServiceStateStopped);
  EXPECT_EQ(notify.Receive(), "STOPPING=1");
  service.join();
  EXPECT_EQ(mgr.nStarts.load(), 1);
  // A second stop for a stopped service returns at once.
  EXPECT_EQ(mgr.ControlHandler(kServiceControlShutdown, 0), 0);
}

TEST(ServiceMainTest, FailedStartReportsTheErrorAndSkipsTheStop) {
  CNotifyCapture notify;
  CSlowStopMgr mgr;
  mgr.nStartError = 42;
  mgr.Init(QuillradeServiceDescription());
  testing::internal::CaptureStdout();
  mgr.ServiceMain();
  EXPECT_TRUE(FlushStdout());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error 42 starting service\n");
  EXPECT_EQ(mgr.ReportedState(), kServiceStateStopped);
  EXPECT_FALSE(mgr.bStopped.load());
  EXPECT_EQ(notify.Receive(), "STATUS=Error 42 starting service\nERRNO=42");
}

TEST(StartPollingTest, AServiceStuckStartingFailsAfterTheTimeout) {
  CFakeSystem fake;
  fake.AddUnit("quillrade");
  fake.PlayStates({"activating"});
  CSlowStopMgr mgr;
  mgr.SetServiceControlSettings(fake.Settings());
  mgr.InitWithProgramPath(QuillradeServiceDescription(), "/usr/bin/quillrade");
  mgr.SetStartPolling(50, 600);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(mgr.StartStopService(true).Code(), CResultCode::kTimedOut);
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(elapsed, std::chrono::milliseconds(600));
  EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
  // Polled again and again at its pace, not once and not in a tight loop.
  const size_t reads = fake.Calls().size() - 1;
  EXPECT_GE(reads, 2u);
  EXPECT_LE(reads, 14u);
}

}  // namespace
