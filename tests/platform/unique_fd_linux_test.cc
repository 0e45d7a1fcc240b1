#include "platform/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <utility>

namespace {

bool IsOpen(int descriptor) { return fcntl(descriptor, F_GETFD) != -1; }

// Both ends of a fresh pipe, each owned by a CUniqueFd.
struct Pipe {
  Pipe() {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    readEnd.Reset(ends[0]);
    writeEnd.Reset(ends[1]);
  }
  CUniqueFd readEnd;
  CUniqueFd writeEnd;
};

TEST(CUniqueFdTest, ClosesWhatItOwnsExactlyOnce) {
  int descriptor = -1;
  {
    Pipe pipe;
    descriptor = pipe.readEnd.Get();
    ASSERT_TRUE(IsOpen(descriptor));
  }
  EXPECT_FALSE(IsOpen(descriptor));

  const CUniqueFd none;
  EXPECT_FALSE(none.IsValid());
  EXPECT_EQ(none.Get(), -1);
}

TEST(CUniqueFdTest, MovingHandsOverOwnership) {
  Pipe pipe;
  const int descriptor = pipe.readEnd.Get();
  CUniqueFd moved(std::move(pipe.readEnd));
  EXPECT_FALSE(pipe.readEnd.IsValid());
  EXPECT_EQ(moved.Get(), descriptor);

  // Assigning over an owner closes what it held before.
  const int previous = pipe.writeEnd.Get();
  pipe.writeEnd = std::move(moved);
  EXPECT_FALSE(IsOpen(previous));
  EXPECT_EQ(pipe.writeEnd.Get(), descriptor);
  EXPECT_TRUE(IsOpen(descriptor));
}

TEST(CUniqueFdTest, ReleaseGivesUpAndResetReplaces) {
  Pipe pipe;
  const int released = pipe.readEnd.Release();
  EXPECT_FALSE(pipe.readEnd.IsValid());
  EXPECT_TRUE(IsOpen(released));

  const int writeEnd = pipe.writeEnd.Get();
  pipe.writeEnd.Reset(writeEnd);  // the same descriptor again stays open
  EXPECT_TRUE(IsOpen(writeEnd));
  pipe.writeEnd.Reset(released);
  EXPECT_FALSE(IsOpen(writeEnd));
  pipe.writeEnd.Reset();
  EXPECT_FALSE(IsOpen(released));
  EXPECT_FALSE(pipe.writeEnd.IsValid());
}

}  // namespace
