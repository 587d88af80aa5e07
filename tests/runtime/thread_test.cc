#include "runtime/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Runs until asked to stop, counting its runs.
class Spinner : public CThread {
 public:
  ~Spinner() override { Stop(); }
  DWORD Run() override {
    runs.fetch_add(1);
    while (ShouldContinue()) SleepFor(1);
    return 7;
  }
  std::atomic<int> runs{0};
};

// Stop before Start, suspension, and a restart while suspended, which
// resumes and joins the first thread before it starts a second one.
TEST(CThread, StopBeforeStartSuspendAndRestart) {
  Spinner thread;
  EXPECT_EQ(1, thread.Stop());  // nothing to join
  EXPECT_EQ(0, thread.ShouldContinue());
  EXPECT_EQ(0, thread.Suspend());  // no thread
  ASSERT_EQ(1, thread.Start());    // Start resets the stop request
  EXPECT_NE(0u, thread.GetThreadId());
  EXPECT_EQ(1, thread.Suspend());
  EXPECT_EQ(0, thread.Suspend());
  EXPECT_EQ(1, thread.Resume());
  EXPECT_EQ(0, thread.Resume());
  EXPECT_EQ(1, thread.Suspend());
  ASSERT_EQ(1, thread.Start());
  EXPECT_EQ(1, thread.ShouldContinue());
  EXPECT_EQ(1, thread.Suspend());
  EXPECT_EQ(1, thread.Stop());  // resumes it so it can end
  EXPECT_EQ(2, thread.runs.load());
  EXPECT_EQ(nullptr, thread.GetThreadHandle());
}

TEST(CThread, StopOnItsOwnThreadIsRefused) {
  struct SelfStopper : CThread {
    ~SelfStopper() override { Stop(); }
    DWORD Run() override {
      result = Stop();
      return 0;
    }
    std::atomic<int> result{-1};
  } thread;
  ASSERT_EQ(1, thread.Start());
  while (thread.result.load() == -1) std::this_thread::yield();
  EXPECT_EQ(0, thread.result.load());
  EXPECT_NE(nullptr, thread.GetThreadHandle());  // untouched
}

}  // namespace
