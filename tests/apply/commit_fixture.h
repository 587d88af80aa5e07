// The worker applied with the stand-in's faults and call observers, in a
// folder where another user plants files: for the tests of the commit, its
// faults, its interruption and its recovery.
#pragma once

#include "apply/worker_fixture.h"
#include "standin_control.h"

namespace testing_support {

const Bytes kOldB = ToBytes("program, old");
const Bytes kNewB = ToBytes("program, new");
const Bytes kPlanted = ToBytes("planted by another user");

// Makes the file or folder at `path` another user's, as if they had made it.
inline void Theirs(const fs::path& path) {
  standin::SetOwner(path.string(), standin::User::kOther);
}

// Clears the stand-in's faults, counts and call observer.
inline void ClearFaults() {
  standin::SetCallObserver(nullptr);
  standin::ResetCalls();
}

// Runs `act` just before the `nth` call of `function` from now on.
inline void AtCall(const std::string& function, int nth,
                   const std::function<void()>& act) {
  auto calls = std::make_shared<int>(0);
  standin::SetCallObserver([=](const char* called, uint64_t) {
    if (function == called && ++*calls == nth) act();
  });
}

class CommitTest : public WorkerTest {
 protected:
  void TearDown() override {
    ClearFaults();
    WorkerTest::TearDown();
  }
  // The faults and observer a run's `plant` sets count from its first call
  // and end with it.
  void Loaded() override { standin::ResetCalls(); }
  void Ran() override { ClearFaults(); }
};

}  // namespace testing_support
