// Running child programs: exit codes, captured output and programs that cannot
// be started. The children are the system's shell and core tools.
#include "platform/process.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(ProcessTest, ExitCodeAndCapturedOutputOfAChild) {
  std::string output;
  const ChildResult result =
      RunChildCaptureOutput({"sh", "-c", "printf 'first\\nsecond'; exit 3"}, &output);
  EXPECT_TRUE(result.bStarted);
  EXPECT_EQ(result.nExitCode, 3);
  EXPECT_EQ(output, "first\nsecond");

  const ChildResult plain = RunChildAndWait({"sh", "-c", "exit 0"});
  EXPECT_TRUE(plain.bStarted);
  EXPECT_EQ(plain.nExitCode, 0);
}

// More output than a pipe holds must not leave the child and the reader waiting
// for each other.
TEST(ProcessTest, CapturesOutputLargerThanAPipe) {
  std::string output;
  const ChildResult result = RunChildCaptureOutput({"head", "-c", "300000", "/dev/zero"}, &output);
  EXPECT_EQ(result.nExitCode, 0);
  EXPECT_EQ(output, std::string(300000, '\0'));
}

TEST(ProcessTest, ChildKilledBySignalReportsOneHundredTwentyEightPlusSignal) {
  const ChildResult result = RunChildAndWait({"sh", "-c", "kill -TERM $$"});
  EXPECT_TRUE(result.bStarted);
  EXPECT_EQ(result.nExitCode, 128 + 15);
}

TEST(ProcessTest, ProgramThatCannotBeStartedIsReportedWithItsError) {
  std::string output = "untouched";
  const ChildResult missing = RunChildCaptureOutput({"/nonexistent/qr-no-program"}, &output);
  EXPECT_FALSE(missing.bStarted);
  EXPECT_EQ(missing.nError, ENOENT);

  const ChildResult onPath = RunChildAndWait({"qr-no-such-program-on-path"});
  EXPECT_FALSE(onPath.bStarted);
  EXPECT_EQ(onPath.nError, ENOENT);

  const ChildResult empty = RunChildAndWait({});
  EXPECT_FALSE(empty.bStarted);
  EXPECT_NE(empty.nError, 0);
}

TEST(ProcessTest, ProgramOnPathIsFoundByNameOrPath) {
  EXPECT_TRUE(IsProgramOnPath("sh"));
  EXPECT_TRUE(IsProgramOnPath("/bin/sh"));
  EXPECT_FALSE(IsProgramOnPath("qr-no-such-program-on-path"));
  EXPECT_FALSE(IsProgramOnPath("/nonexistent/sh"));
}

}  // namespace
