#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>

#include "gtest/gtest.h"
#include "platform/process.h"

namespace {

size_t OpenDescriptorCount() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

// A child that cannot start must not leave the capture pipe open behind it.
TEST(CChildSpawnTest, RefusedStartClosesThePipe) {
  const size_t before = OpenDescriptorCount();
  for (int i = 0; i < 8; ++i) {
    std::string output;
    const ChildResult empty = RunChildCaptureOutput({}, &output);
    EXPECT_FALSE(empty.bStarted);
    EXPECT_EQ(empty.nError, EINVAL);
    const ChildResult missing = RunChildCaptureOutput({"/nonexistent/quillrade-child"}, &output);
    EXPECT_FALSE(missing.bStarted);
    EXPECT_EQ(missing.nError, ENOENT);
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
