// The failure value: its message forms, and system error numbers on both
// systems (2 is "file not found" on Linux and on Windows alike).
#include "platform/result.h"

#include <gtest/gtest.h>

namespace {

TEST(CResultTest, MessagesJoinContextAndDetail) {
  struct Case {
    CResult result;
    std::string message;
    std::string reasonLine;
  };
  const Case cases[] = {
      {CResult::Ok(), "", ""},
      {CResult::Failure(CResultCode::kFailed, "systemctl start q.service", "exit code 5"),
       "systemctl start q.service: exit code 5", "  systemctl start q.service: exit code 5\n"},
      {CResult::Failure(CResultCode::kTimedOut, "", "no answer"), "no answer", "  no answer\n"},
      {CResult::Failure(CResultCode::kFailed, "install", "").WithContext("q"), "q: install",
       "  q: install\n"},
      {CResult::Failure(CResultCode::kOk, "x", "y").WithContext("outer"), "outer: x: y",
       "  outer: x: y\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result.Message(), c.message);
    EXPECT_EQ(c.result.ReasonLine(), c.reasonLine);
    EXPECT_EQ(c.result.ok(), c.message.empty()) << c.message;
  }
}

TEST(CResultTest, SystemErrorsCarryTheSystemsTextWithoutLineEnd) {
  const CResult missing = CResult::FromSystemError("open /x", 2);
  EXPECT_EQ(missing.Code(), CResultCode::kNotFound);
  EXPECT_EQ(missing.Message().rfind("open /x: ", 0), 0u) << missing.Message();
  ASSERT_GT(missing.Detail().size(), 5u);
  EXPECT_NE(missing.Detail().back(), '\n');
  EXPECT_NE(missing.Detail().back(), '\r');
  EXPECT_EQ(missing.Message().find('\n'), std::string::npos);
  EXPECT_EQ(CResult::FromSystemError("x", 0).ok(), false);
}

}  // namespace
