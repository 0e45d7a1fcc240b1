#include "host/main_class.h"

#include <gtest/gtest.h>

#include "runtime/simple_thread.h"

namespace {

// Keeps a thread busy until it is asked to stop.
class CIdleHandler : public CSimpleThreadHandler {
 public:
  void Run(CSimpleThread* thread) override {
    while (thread->Wait(10)) {
    }
  }
};

// A thread object runs once at a time, so a start while it runs is refused: the
// refusal must reach the caller, which reports it, instead of a silent success.
TEST(CMainClassTest, AMainThreadThatCannotStartIsReported) {
  CIdleHandler idle;  // outlives the program object, whose destructor stops the thread
  CMainClass program;
  program.thread.SetHandler(&idle);
  ASSERT_EQ(program.thread.Start(), 0);
  EXPECT_NE(program.OnServiceStart(), 0);
  EXPECT_EQ(program.ServiceStartFailure().Message(),
            "start the main thread: it is running already");
}

}  // namespace
