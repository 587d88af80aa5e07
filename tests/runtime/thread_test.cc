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

TEST(CThread, StopEventIsAutoResetWakeIsManual) {
  CThread idle;  // never started: SleepFor runs on this thread
  idle.RequestStop();
  EXPECT_EQ(0, idle.SleepFor(10000));   // consumes the stop signal
  EXPECT_EQ(1, idle.SleepFor(20));      // so the next one times out
  EXPECT_EQ(0, idle.ShouldContinue());  // the flag stays
  idle.Wake();
  EXPECT_EQ(0, idle.SleepFor(10000));
  EXPECT_EQ(1, idle.SleepFor(20));  // SleepFor cleared the wake
}

std::atomic<int> called;
DWORD Record(void* value) {
  called = *static_cast<int*>(value);
  return 0;
}

TEST(CThread, Procedures) {
  int value = 43;
  CThread thread;
  ASSERT_EQ(1, thread.SetThreadProcC(&Record, &value));
  ASSERT_EQ(1, thread.Start());
  EXPECT_EQ(0, thread.SetThreadProc(nullptr, nullptr));  // a handle exists
  thread.Stop();
  EXPECT_EQ(43, called.load());
  // A null procedure switches back to Run.
  called = 0;
  EXPECT_EQ(1, thread.SetThreadProc(nullptr, nullptr));
  ASSERT_EQ(1, thread.Start());
  thread.Stop();
  EXPECT_EQ(0, called.load());
}

TEST(CCriticalSection, RecursiveDepthOwnerAndScopedLock) {
  CCriticalSection section;
  EXPECT_EQ(0, section.Unlock());  // nothing to undo
  CAutoLock outer(&section);
  {
    CAutoLock inner(&section);
    EXPECT_EQ(1, section.IsLockedByCurrentThread());
  }
  // Still held once, but the owner was cleared by the inner Unlock.
  EXPECT_EQ(0, section.IsLockedByCurrentThread());
  section.Lock();  // owner recorded again
  std::atomic<int> tried{-1};
  std::thread([&] { tried = section.TryLock(); }).join();
  EXPECT_EQ(0, tried.load());  // refused without blocking
  // Still held once after `outer`: the destructor leaves it before deleting
  // it.
}

}  // namespace
