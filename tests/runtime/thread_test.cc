#include "runtime/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Runs until asked to stop, counting its passes.
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

TEST(CThread, StopBeforeStartAndRestart) {
  Spinner thread;
  EXPECT_EQ(1, thread.Stop());  // nothing to join
  EXPECT_EQ(0, thread.ShouldContinue());
  ASSERT_EQ(1, thread.Start());  // Start resets the stop request
  EXPECT_NE(nullptr, thread.GetThreadHandle());
  EXPECT_NE(0u, thread.GetThreadId());
  EXPECT_EQ(1, thread.ShouldContinue());
  // Starting again joins the first thread and runs a second one.
  ASSERT_EQ(1, thread.Start());
  EXPECT_EQ(1, thread.ShouldContinue());
  EXPECT_EQ(1, thread.Stop());
  EXPECT_EQ(2, thread.runs.load());
  EXPECT_EQ(nullptr, thread.GetThreadHandle());
  EXPECT_EQ(0u, thread.GetThreadId());
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
  EXPECT_EQ(1, thread.Stop());
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
  EXPECT_EQ(0, idle.ConsumeWake());
}

TEST(CThread, ProceduresAndSuspension) {
  static std::atomic<int> called;
  static int first = 42, second = 43;
  called = 0;
  CThread thread;
  EXPECT_EQ(1, thread.SetThreadProcC(
                   [](void* value) -> DWORD {
                     called = *static_cast<int*>(value);
                     return 0;
                   },
                   &first));
  // A null procedure switches back to Run but keeps the stored one.
  EXPECT_EQ(1, thread.SetThreadProc(nullptr, nullptr));
  ASSERT_EQ(1, thread.Start());
  thread.Stop();
  EXPECT_EQ(0, called.load());  // Run ran, not the procedure
  ASSERT_EQ(1, thread.SetThreadProcC(
                   [](void* value) -> DWORD {
                     called = *static_cast<int*>(value);
                     return 0;
                   },
                   &second));
  ASSERT_EQ(1, thread.Start());
  EXPECT_EQ(0, thread.SetThreadProc(nullptr, nullptr));  // a handle exists
  thread.Stop();
  EXPECT_EQ(43, called.load());

  Spinner spinner;
  EXPECT_EQ(0, spinner.Suspend());  // no thread
  ASSERT_EQ(1, spinner.Start());
  EXPECT_EQ(1, spinner.Suspend());
  EXPECT_EQ(0, spinner.Suspend());
  EXPECT_EQ(1, spinner.Resume());
  EXPECT_EQ(0, spinner.Resume());
  EXPECT_EQ(1, spinner.Suspend());
  EXPECT_EQ(1, spinner.Stop());  // resumes it so it can end
}

TEST(CEvent, FlagRecordsTheLastSetOrReset) {
  CEvent automatic(0);
  automatic.Set();
  EXPECT_EQ(1, automatic.Wait(0));
  EXPECT_EQ(0, automatic.Wait(0));  // consumed
  EXPECT_EQ(1, automatic.IsSet());  // but the flag stays
  CEvent manual(1);
  manual.Set();
  EXPECT_EQ(1, manual.Wait(0));
  EXPECT_EQ(1, manual.Wait(0));
  manual.Reset();
  EXPECT_EQ(0, manual.Wait(0));
  EXPECT_EQ(0, manual.IsSet());
}

TEST(CCriticalSection, RecursiveDepthAndOwner) {
  CCriticalSection section;
  EXPECT_EQ(0, section.Unlock());  // nothing to undo
  section.Lock();
  section.Lock();
  EXPECT_EQ(1, section.IsLockedByCurrentThread());
  section.Unlock();
  // Still held once, but the owner was cleared by the inner Unlock.
  EXPECT_EQ(0, section.IsLockedByCurrentThread());

  std::atomic<int> tried{-1};
  section.Lock();  // owner recorded again
  std::thread other([&] { tried = section.TryLock(); });
  other.join();
  EXPECT_EQ(0, tried.load());  // refused without blocking
  section.Unlock();
  // The section is still held once: its destructor leaves it before
  // deleting it.
}

TEST(CAutoLock, HoldsForItsScope) {
  CCriticalSection section;
  {
    CAutoLock guard(&section);
    EXPECT_EQ(1, section.IsLockedByCurrentThread());
  }
  std::atomic<int> tried{-1};
  std::thread other([&] {
    tried = section.TryLock();
    section.Unlock();
  });
  other.join();
  EXPECT_EQ(1, tried.load());
}

}  // namespace
