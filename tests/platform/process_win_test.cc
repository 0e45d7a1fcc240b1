// Child processes and system texts on Windows.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ProcessWinTest, ExitCodeAndCapturedOutputOfAChild) {
  std::string output;
  const ChildResult captured = RunChildCaptureOutput({"cmd", "/c", "echo first&exit 3"}, &output);
  ASSERT_TRUE(captured.bStarted);
  EXPECT_EQ(captured.nExitCode, 3);
  EXPECT_EQ(output, "first\r\n");
  EXPECT_EQ(RunChildAndWait({"cmd", "/c", "exit 0"}).nExitCode, 0);
}

TEST(ProcessWinTest, ProgramThatCannotBeStartedIsReportedWithItsError) {
  const ChildResult result = RunChildAndWait({"quillrade-no-such-program.exe"});
  EXPECT_FALSE(result.bStarted);
  EXPECT_NE(result.nError, 0);
  EXPECT_FALSE(ErrorMessage(result.nError).empty());
  EXPECT_NE(ErrorMessage(result.nError).back(), '\n') << "no line end of its own";
}

TEST(ProcessWinTest, ProgramPathAndPathSearch) {
  const std::string program = GetProgramPath();
  EXPECT_NE(program.find(".exe"), std::string::npos) << program;
  EXPECT_TRUE(IsProgramOnPath("cmd"));
  EXPECT_TRUE(IsProgramOnPath(program));
  EXPECT_FALSE(IsProgramOnPath("quillrade-no-such-program"));
}

}  // namespace
