// The observability paths on the real program: /health once it passes,
// /metrics that promtool accepts with the push counted, /status.json with the
// value the receiver got, /tasks with a pushed script shown as text, and
// /health/delivery following a slot whose target is down, then answers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <string>

#include "e2e/e2e_support.h"
#include "support/page_checks.h"

namespace {

TEST(ObservabilityEndToEndTest, ProgramServesHealthMetricsJsonAndDashboard) {
  CTempDir folder("qr_e2e");
  ASSERT_TRUE(folder.Ok());
  CReceiver receiver;
  ASSERT_TRUE(receiver.Start());
  ASSERT_TRUE(WriteFileWhole(folder.PathOf("q.ini"),
                             "[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%text0%\n"
                             "Url0=" +
                                 receiver.BaseUrl() + "/p?v=%format0%\n"));
  CProgram program(folder.Path(), folder.PathOf("q.ini"));
  ASSERT_TRUE(program.Started());
  ASSERT_NE(program.WaitFor("\nRunning Indefinitely.\n\n", kProgramStartMs), std::string::npos)
      << program.Output();
  const int port = program.HttpPort();
  ASSERT_NE(port, 0);

  EXPECT_TRUE(WaitUntil([&] { return HttpGet(port, "/health").rfind("HTTP/1.1 200", 0) == 0; },
                        kProgramEffect, std::chrono::milliseconds(20)));
  ASSERT_NE(HttpGet(port, "/input0?set=%3Cscript%3Ex%80%3C/script%3E").find("query received"),
            std::string::npos);
  ASSERT_TRUE(receiver.WaitForTarget("/p?v=%3Cscript%3Ex%80%3C%2Fscript%3E", kProgramEffectMs));

  const std::string series = "quillrade_task_requests_total{task=\"output0\",index=\"0\"}";
  std::string metrics;
  EXPECT_TRUE(WaitUntil(
      [&] {
        metrics = ResponseBody(HttpGet(port, "/metrics"));
        return MetricValue(metrics, series) == 1;
      },
      kProgramEffect, std::chrono::milliseconds(20)))
      << metrics;
  EXPECT_EQ(
      MetricValue(metrics, "quillrade_task_pushes_accepted_total{task=\"output0\",index=\"0\"}"),
      1);
  if (access(kPromtool, X_OK) == 0) {
    const CommandResult check = CheckMetricsWithPromtool(metrics);
    EXPECT_EQ(check.nExitCode, 0) << check.strOutput;
  }
  std::map<std::string, std::string> json = JsonLeaves(ResponseBody(HttpGet(port, "/status.json")));
  EXPECT_EQ(json["tasks/0/last_request/url"],
            "\"" + receiver.BaseUrl() + receiver.Targets().back() + "\"");
  // A Windows-1252 push (0x80 is the euro sign) is shown as characters.
  EXPECT_EQ(json["tasks/0/values/format0"], "\"<script>x\xE2\x82\xAC</script>\"");
  EXPECT_EQ(json["process/http_port"], std::to_string(port));
  const std::string page = ResponseBody(HttpGet(port, "/tasks"));
  EXPECT_NE(page.find("&lt;script&gt;x\xE2\x82\xAC&lt;/script&gt;"), std::string::npos) << page;
  EXPECT_EQ(page.find("<script>"), std::string::npos);

  program.SendEscape();
  EXPECT_EQ(program.WaitExit(kProgramExitMs), 0);
}

// A slot whose target refuses fails /health/delivery, and only that slot; once
// the target is back and answers the retry, the slot is healthy again.
TEST(ObservabilityEndToEndTest, DeliveryHealthFollowsEachSlot) {
  CTempDir folder("qr_e2e");
  CReceiver good, late;
  ASSERT_TRUE(folder.Ok() && good.Start() && late.Reserve());
  ASSERT_TRUE(WriteFileWhole(
      folder.PathOf("q.ini"),
      "[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%text0%\nUrl0=" + good.BaseUrl() +
          "/p\nUrl1=" + late.BaseUrl() + "/q?v=%format0%\n"));
  CProgram program(folder.Path(), folder.PathOf("q.ini"));
  ASSERT_NE(program.WaitFor("\nRunning Indefinitely.\n\n", kProgramStartMs), std::string::npos);
  ASSERT_NE(HttpGet(program.HttpPort(), "/input0?set=a").find("query received"), std::string::npos);
  // Only a failing slot gets a body other than "OK".
  const auto body = [&] { return ResponseBody(HttpGet(program.HttpPort(), "/health/delivery")); };
  const std::string down = "output0 Url1 " + late.BaseUrl() + "/q?v=a: connect since";
  constexpr std::chrono::milliseconds kPoll{20};
  EXPECT_TRUE(WaitUntil([&] { return body().rfind(down, 0) == 0; }, kProgramEffect, kPoll));
  ASSERT_TRUE(late.Start());
  EXPECT_TRUE(WaitUntil([&] { return body() == "OK\n"; }, kProgramEffect, kPoll));
  program.SendEscape();
  EXPECT_EQ(program.WaitExit(kProgramExitMs), 0);
}

}  // namespace
